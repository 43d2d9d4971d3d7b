// The work array: stack discipline, markers, the fill pattern, the peak and
// the size check at the last usable cell.
#include <gtest/gtest.h>

#include <bit>
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

}  // namespace
}  // namespace mv
