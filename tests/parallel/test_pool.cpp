// The pool: static contiguous ranges, every part run exactly once at any
// thread count, nesting and exceptions.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "parallel/pool.h"

namespace mv::parallel {
namespace {

class PoolTest : public ::testing::Test {
 protected:
  void TearDown() override { set_threads(0); }
};

TEST_F(PoolTest, RangesCoverEveryIndexOnceInContiguousGrainMultiples) {
  for (int32_t t : {1, 2, 3, 7}) {
    set_threads(t);
    EXPECT_EQ(threads(), t);
    for (int32_t n : {1, 2, 5, 16, 17, 100, 1001}) {
      for (int32_t grain : {1, 8}) {
        std::vector<int32_t> hits(n, 0);
        std::vector<std::pair<int32_t, int32_t>> ranges(t, {-1, -1});
        std::atomic<int32_t> calls{0};
        for_range(
            n,
            [&](int32_t b, int32_t e) {
              ++calls;
              EXPECT_LT(b, e);
              EXPECT_TRUE(b % grain == 0) << b;
              for (int32_t k = b; k < e; ++k) ++hits[k];
            },
            grain);
        EXPECT_EQ(hits, std::vector<int32_t>(n, 1)) << "t=" << t << " n=" << n;
        EXPECT_LE(calls.load(), t);
        EXPECT_EQ(calls.load(), std::min<int32_t>(t, (n + grain - 1) / grain));
      }
    }
  }
}

TEST_F(PoolTest, RangeStartsAreStaticAndEndAtN) {
  EXPECT_EQ(range_start(10, 3, 0), 0);
  EXPECT_EQ(range_start(10, 3, 1), 3);
  EXPECT_EQ(range_start(10, 3, 2), 6);
  EXPECT_EQ(range_start(10, 3, 3), 10);
  EXPECT_EQ(range_start(20, 2, 1, 8), 8);  // 3 chunks of 8: one, then two
  EXPECT_EQ(range_start(20, 2, 2, 8), 20);
}

TEST_F(PoolTest, ManyJobsInARowEachRunEveryPart) {
  set_threads(3);
  std::vector<int64_t> sums(3, 0);
  for (int32_t job = 0; job < 2000; ++job) {
    run(3, [&](int32_t t) { sums[t] += job; });
  }
  for (int64_t s : sums) EXPECT_EQ(s, 1999 * 2000 / 2);
}

// Parts are claimed by whichever thread comes first: a claim that arrives late
// must never land on the next job, whose part count differs.
TEST_F(PoolTest, JobsOfChangingSizeRunEachPartExactlyOnce) {
  for (int32_t t : {2, 3}) {
    set_threads(t);
    std::vector<std::atomic<int32_t>> runs(3);
    int64_t expected[3] = {0, 0, 0};
    for (int32_t job = 0; job < 20000; ++job) {
      const int32_t parts = 2 + job % (t - 1);
      for (int32_t p = 0; p < parts; ++p) ++expected[p];
      run(parts, [&](int32_t p) { runs[p].fetch_add(1, std::memory_order_relaxed); });
    }
    for (int32_t p = 0; p < 3; ++p) EXPECT_EQ(runs[p].load(), expected[p]) << "t=" << t;
  }
}

TEST_F(PoolTest, NestedAndOversizedRequestsRunInOrderInTheCaller) {
  set_threads(2);
  std::vector<int32_t> order;
  run(5, [&](int32_t t) { order.push_back(t); });  // more parts than threads
  EXPECT_EQ(order, (std::vector<int32_t>{0, 1, 2, 3, 4}));
  std::vector<std::vector<int32_t>> inner(2);
  run(2, [&](int32_t t) { run(2, [&](int32_t u) { inner[t].push_back(u); }); });
  EXPECT_EQ(inner[0], (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(inner[1], (std::vector<int32_t>{0, 1}));
}

TEST_F(PoolTest, AnExceptionReachesTheCallerAfterEveryPart) {
  set_threads(3);
  std::atomic<int32_t> finished{0};
  EXPECT_THROW(run(3,
                   [&](int32_t t) {
                     ++finished;
                     if (t == 1) throw std::runtime_error("part 1");
                   }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), 3);
  run(3, [&](int32_t) { ++finished; });  // the pool is still usable
  EXPECT_EQ(finished.load(), 6);
}

}  // namespace
}  // namespace mv::parallel
