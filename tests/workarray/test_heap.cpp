// The work array: stack discipline, markers, the fill pattern, the peak and
// the size check at the last usable cell.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <bit>
#include <cstdint>
#include <string>

#include "io/stop.h"
#include "io/units.h"
#include "workarray/heap.h"

namespace mv {
namespace {

class Heap : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_heap();
    attach_memory(6);
  }
  void TearDown() override { reset_units(); }
};

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

TEST_F(Heap, ZeroCellMarkerAndCutHeapReleaseEverythingAbove) {
  int32_t a = 0, marker = 0, b = 0, c = 0;
  alloc("first", 10, a);
  EXPECT_EQ(a, 1);
  alloc("marker", 0, marker);
  EXPECT_EQ(marker, 11);
  EXPECT_EQ(heap_info.top, 10);
  alloc("second", 5, b);
  illoc("third", 7, c);
  EXPECT_EQ(b, 11);
  EXPECT_EQ(c, 16);
  EXPECT_EQ(heap_info.top, 22);
  *rh(b) = 2.0f;
  cut_heap("test", marker);
  EXPECT_EQ(heap_info.top, 10);
  EXPECT_EQ(heap_info.peak, 22);
  EXPECT_EQ(bits(*rh(b)), heap_fill_pattern);
  cut_heap("test", 1);
  EXPECT_EQ(heap_info.top, 0);
  EXPECT_EQ(heap_info.peak, 22);
}

TEST_F(Heap, AllocatedCellsReadAsTenToTheThirty) {
  int32_t a = 0;
  alloc("x", 3, a);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(rh(a)[k], 1.0e30f);
    EXPECT_EQ(ih(a)[k], 1900671690);
  }
  rh(a)[1] = 5.0f;
  dealloc("x", 3, a);
  EXPECT_EQ(heap_info.top, 0);
  EXPECT_EQ(rh(a)[1], 1.0e30f);
}

TEST_F(Heap, LastUsableCellIsOneBelowTheArraySize) {
  int32_t a = 0;
  alloc("big", heap_size.lheap - 1, a);
  EXPECT_EQ(heap_info.top, 9999998);
  int32_t m = 0;
  alloc("marker", 0, m);  // a marker still fits
  try {
    int32_t b = 0;
    alloc("one more", 1, b);
    FAIL() << "the cell after 9,999,998 must be refused";
  } catch (const RunStop& s) {
    EXPECT_EQ(s.text, "quitprog: see output");
    EXPECT_EQ(s.status, status_fatal);
  }
  EXPECT_EQ(heap_info.top, 9999998);
  EXPECT_EQ(unit_contents(6),
            " Increase parameter lheap from      9999999  to     10000000\n"
            " Increase dimension. See output.\n");

  // Requests near the 4-byte limit reach the same check without wrapping.
  reset_heap();
  for (bool integers : {false, true}) {
    int32_t b = 0;
    try {
      integers ? illoc("huge", INT32_MAX, b) : alloc("huge", INT32_MAX, b);
      FAIL() << "a request of 2**31 - 1 cells must be refused";
    } catch (const RunStop& s) {
      EXPECT_EQ(s.status, status_fatal);
    }
    EXPECT_EQ(heap_info.top, 0);
  }
}

TEST_F(Heap, CheckPassesAtTheLimitAndReportsUseOnRequest) {
  check(100, 100, "maxlevels", 0);
  check(5, 5000, "NiWK", 1);
  EXPECT_EQ(unit_contents(6), " PARAMETER NiWK :USED=           5  :SIZE=        5000\n");
  EXPECT_THROW(check(101, 100, "maxlevels", 0), RunStop);
}

TEST_F(Heap, IllocCountsIntegersPerCell) {
  int32_t a = 0;
  illoc("ints", 9, a);
  EXPECT_EQ(heap_info.top, 9);
  qaz.ints_per_cell = 2;
  int32_t b = 0;
  illoc("ints", 5, b);
  EXPECT_EQ(heap_info.top, 12);
  EXPECT_EQ(b, (10 - 1) * 2 + 1);
}

TEST_F(Heap, ZeroAndIzero) {
  int32_t a = 0;
  alloc("z", 4, a);
  zero(rh(a), 3);
  EXPECT_EQ(rh(a)[2], 0.0f);
  EXPECT_EQ(rh(a)[3], 1.0e30f);
  izero(ih(a), 4);
  EXPECT_EQ(ih(a)[3], 0);
}

// Whether the page holding cell pos is in memory.
bool resident(int32_t pos) {
  const auto page = reinterpret_cast<std::uintptr_t>(rh(pos)) & ~std::uintptr_t{4095};
  unsigned char in = 0;
  EXPECT_EQ(mincore(reinterpret_cast<void*>(page), 4096, &in), 0);
  return (in & 1) != 0;
}

// A removed region keeps its cells (top and peak stay), but its whole pages go
// back to the system; cells sharing a page with live ones keep their values,
// the blocks around it are untouched, and a later allocation over the region
// reads the fill pattern, never what the region held.
TEST_F(Heap, RemovedRegionGivesItsPagesBackAndKeepsEverythingAround) {
  int32_t below = 0, first = 0, region = 0, second = 0, above = 0;
  alloc("below", 3, below);
  alloc("marker", 0, first);
  alloc("region", 5000, region);  // more than two whole pages of 1024 cells
  alloc("marker", 0, second);
  alloc("above", 3, above);
  for (int32_t k = 0; k < 5000; ++k) rh(region)[k] = 7.0f;
  rh(below)[2] = 1.0f;
  rh(above)[0] = 2.0f;
  const heap_info_block before = heap_info;
  const int32_t middle = region + 2500;
  ASSERT_TRUE(resident(middle));

  remove_region("test", first, second);
  EXPECT_EQ(heap_info.top, before.top);
  EXPECT_EQ(heap_info.peak, before.peak);
  EXPECT_FALSE(resident(middle));
  EXPECT_EQ(rh(middle)[0], 0.0f);     // a page given back reads as zero
  EXPECT_EQ(rh(region)[0], 7.0f);     // shares its page with "below"
  EXPECT_EQ(rh(region)[4999], 7.0f);  // shares its page with "above"
  EXPECT_EQ(rh(below)[2], 1.0f);
  EXPECT_EQ(rh(above)[0], 2.0f);

  cut_heap("test", first);
  int32_t again = 0;
  alloc("again", 5003, again);
  EXPECT_EQ(again, region);
  for (int32_t k = 0; k < 5003; ++k) ASSERT_EQ(bits(rh(again)[k]), heap_fill_pattern) << k;
  remove_region("empty", again, again);  // nothing to give back
  EXPECT_EQ(bits(rh(again)[0]), heap_fill_pattern);
}

// Releasing a block does not take back the pages that a removed region gave
// up: they would only be cleared by the system to be filled for nothing. The
// cells on resident pages get the fill pattern, and an allocation over the
// whole block reads it everywhere.
TEST_F(Heap, ReleaseLeavesGivenBackPagesAlone) {
  int32_t below = 0, first = 0, region = 0, second = 0, above = 0;
  alloc("below", 3, below);
  alloc("marker", 0, first);
  alloc("region", 300000, region);  // some 1.2 MB: whole pages and large ones
  alloc("marker", 0, second);
  alloc("above", 5000, above);
  for (int32_t k = 0; k < 300000; ++k) rh(region)[k] = 7.0f;
  for (int32_t k = 0; k < 5000; ++k) rh(above)[k] = 2.0f;
  remove_region("test", first, second);
  const int32_t middle = region + 150000, end = above + 4999;
  ASSERT_FALSE(resident(middle));

  cut_heap("test", first);
  EXPECT_FALSE(resident(middle)) << "the release took a given-back page again";
  EXPECT_FALSE(resident(region + 299000));
  EXPECT_EQ(bits(rh(region)[0]), heap_fill_pattern);  // shares its page with "below"
  EXPECT_EQ(bits(rh(above)[0]), heap_fill_pattern);
  EXPECT_EQ(bits(rh(end)[0]), heap_fill_pattern);
  EXPECT_EQ(heap_info.top, 3);

  int32_t again = 0;
  alloc("again", 305001, again);
  EXPECT_EQ(again, region);
  for (int32_t k = 0; k < 305001; ++k) ASSERT_EQ(bits(rh(again)[k]), heap_fill_pattern) << k;
}

}  // namespace
}  // namespace mv
