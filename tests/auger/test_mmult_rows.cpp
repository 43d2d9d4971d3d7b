// The product loop of mmult, rows in vector lanes and among threads, against
// the plain loop (k, i, then j in order): the same bits for every width and
// thread count, also for row counts that leave single rows and for subnormal
// products.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "auger/mmult_rows.h"
#include "parallel/pool.h"
#include "spectra/simd.h"

namespace mv {
namespace {

std::vector<float> plain(int32_t na, int32_t nb, int32_t ndeg, const std::vector<float>& a,
                         const std::vector<float>& b) {
  std::vector<float> c(std::size_t(na) * ndeg, 0.0f);
  for (int32_t k = 0; k < ndeg; ++k)
    for (int32_t i = 0; i < na; ++i) {
      float s = c[i + std::size_t(k) * na];
      for (int32_t j = 0; j < nb; ++j)
        s = s + a[i + std::size_t(j) * na] * b[j + std::size_t(k) * nb];
      c[i + std::size_t(k) * na] = s;
    }
  return c;
}

TEST(MmultRows, EveryWidthAndThreadCountGivesThePlainLoop) {
  std::mt19937 rng(5u);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (auto [na, nb, ndeg] : {std::array{1, 1, 1}, std::array{7, 3, 2}, std::array{37, 11, 3},
                              std::array{200, 130, 5}, std::array{333, 64, 1}}) {
    std::vector<float> a(std::size_t(na) * nb), b(std::size_t(nb) * ndeg);
    for (float& x : a) x = u(rng);
    for (float& x : b) x = u(rng);
    a[0] = 3.0e-39f;  // subnormal products and sums
    b[0] = 1.0e-3f;
    const std::vector<float> want = plain(na, nb, ndeg, a, b);
    for (int32_t width : {4, 8}) {
      for (int32_t threads : {1, 2, 3, 7}) {
        simd::limit_width(width);
        parallel::set_threads(threads);
        std::vector<float> c(want.size(), 7.0f);
        mmult_rows(na, nb, ndeg, c.data(), a.data(), b.data());
        EXPECT_EQ(std::memcmp(c.data(), want.data(), 4 * want.size()), 0)
            << na << "x" << nb << "x" << ndeg << " width " << width << " threads " << threads;
      }
    }
  }
  simd::limit_width(0);
  parallel::set_threads(0);
}

}  // namespace
}  // namespace mv
