// Work arrays of other sizes: the size check moves with them, the message of
// a failed check gives the size really needed and the stop names the option,
// and memory is taken from the system only as cells are used.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "io/stop.h"
#include "io/units.h"
#include "workarray/heap.h"

namespace mv {
namespace {

class HeapSize : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_heap();
    attach_memory(6);
  }
  void TearDown() override {
    ASSERT_TRUE(set_heap_cells(default_heap_cells));
    reset_units();
  }
};

// The stop of a failed size check, with what it wrote on unit 6.
struct Refusal {
  std::string output, note;
};

template <class F>
Refusal refusal(F request) {
  try {
    request();
  } catch (const RunStop& s) {
    EXPECT_EQ(s.text, "quitprog: see output");
    EXPECT_EQ(s.status, status_fatal);
    return {unit_contents(6), s.note};
  }
  ADD_FAILURE() << "the request was accepted";
  return {};
}

// Resident memory of this process in MiB.
double resident_mib() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0.0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return double(resident) * 4096.0 / (1024.0 * 1024.0);
}

TEST_F(HeapSize, TheLimitFollowsTheSize) {
  ASSERT_TRUE(set_heap_cells(1000));
  EXPECT_EQ(heap_size.lheap, 999);
  int32_t a = 0, b = 0;
  alloc("all", 998, a);  // the last usable cell is 998
  const Refusal r = refusal([&] { alloc("one more", 1, b); });
  EXPECT_EQ(r.output,
            " Increase parameter lheap from          999  to         1000\n"
            " Increase dimension. See output.\n");
  EXPECT_EQ(r.note,
            "morvex7: the work array of 1000 cells is too small: the step that stopped needs "
            "1001 cells, counting only what the calculation holds so far; later steps may need "
            "more, so run with --work-array 4004 (memory is taken only as the model uses it)");
  EXPECT_EQ(heap_info.top, 998);

  EXPECT_FALSE(set_heap_cells(1));
  EXPECT_EQ(heap_size.cells, 1000) << "a refused size leaves the array as it was";
}

TEST_F(HeapSize, TheMessageGivesTheSizeReallyNeeded) {
  int32_t a = 0;
  alloc("below", 5, a);
  // A square block of order 20201: 408,080,401 cells above the top of 5.
  Refusal r = refusal([] { check_room(int64_t{20201} * 20201); });
  EXPECT_EQ(r.output,
            " Increase parameter lheap from      9999999  to    408080407\n"
            " Increase dimension. See output.\n");
  EXPECT_EQ(r.note,
            "morvex7: the work array of 10000000 cells is too small: the step that stopped "
            "needs 408080408 cells, counting only what the calculation holds so far; later "
            "steps may need more, so run with --work-array 1632321632 (memory is taken only as "
            "the model uses it)");
  // Four times a need above a quarter of the largest size is the largest size.
  reset_units();
  attach_memory(6);
  r = refusal([] { check_room(int64_t{1000000000}); });
  EXPECT_NE(r.note.find("needs 1000000007 cells"), std::string::npos) << r.note;
  EXPECT_NE(r.note.find("run with --work-array 2147483647 "), std::string::npos) << r.note;

  // Beyond the 4-byte range the value is still written in full, in the same field.
  reset_units();
  attach_memory(6);
  r = refusal([] { check_room(int64_t{3000000000}); });
  EXPECT_EQ(r.output,
            " Increase parameter lheap from      9999999  to   3000000006\n"
            " Increase dimension. See output.\n");
  EXPECT_EQ(r.note,
            "morvex7: this model needs a work array of 3000000007 cells, more than "
            "--work-array allows (2147483647)");
  EXPECT_EQ(heap_info.top, 5);
}

TEST_F(HeapSize, MemoryIsTakenAsCellsAreUsed) {
  const double before = resident_mib();
  ASSERT_TRUE(set_heap_cells(400000000));  // 1.6 GB of address space
  EXPECT_LT(resident_mib() - before, 64.0) << "reserving must not commit memory";

  // A block beyond the default size, filled and usable; some 120 MB in use.
  int32_t a = 0;
  alloc("big", 30000000, a);
  EXPECT_EQ(heap_info.top, 30000000);
  EXPECT_EQ(*rh(a + 29999999), 1.0e30f);
  *ih(a + 29999999) = 7;
  EXPECT_GT(resident_mib() - before, 100.0);

  dealloc("big", 30000000, a);
  EXPECT_EQ(*rh(a + 29999999), 1.0e30f) << "released cells hold the fill pattern";
  reset_heap();
  EXPECT_LT(resident_mib() - before, 64.0) << "an empty work array gives its memory back";
  alloc("again", 3, a);
  EXPECT_EQ(*rh(a + 2), 1.0e30f);
}

}  // namespace
}  // namespace mv
