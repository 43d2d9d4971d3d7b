// The Gram–Schmidt kernels against the plain loops they replace, bit for bit,
// at every vector width: counts of vectors and elements on either side of the
// lane and group sizes, element ranges that start and end off the tiles, and
// sums continued over ascending ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "spectra/gram_schmidt.h"
#include "reference_kernels.h"
#include "spectra/simd.h"
#include "spectra_test_util.h"

namespace mv {
namespace {

using test::random_vector;

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (std::bit_cast<uint32_t>(a[k]) != std::bit_cast<uint32_t>(b[k])) return false;
  }
  return true;
}

class GramSchmidt : public ::testing::Test {
 protected:
  void TearDown() override { simd::limit_width(0); }
  template <class F>
  static void at_every_width(F check) {
    for (int32_t lanes : {4, 8, 16}) {
      if (lanes > simd::widest_available()) break;
      simd::limit_width(lanes);
      check(lanes);
    }
  }
};

// Values of mixed magnitude and sign, so that a sum taken in another order
// (or with a fused multiply-add) differs in its last bits.
std::vector<float> values(std::size_t n, uint32_t seed) {
  std::vector<float> v = random_vector(n, seed);
  for (std::size_t k = 0; k < n; k += 3) v[k] *= 1024.0f;
  for (std::size_t k = 1; k < n; k += 7) v[k] *= 1.0f / 4096.0f;
  return v;
}

TEST_F(GramSchmidt, CoefficientsHaveTheBitsOfThePlainSums) {
  at_every_width([](int32_t lanes) {
    for (int32_t count : {1, 3, 7, 8, 9, 15, 16, 17, 24, 33}) {
      for (int32_t n : {1, 5, 8, 13, 16, 31, 100}) {
        const std::vector<float> basis = values(std::size_t(count) * n, 11u * count + n);
        const std::vector<float> w = values(n, 5u + n);
        // The whole range from 0, a range that starts and ends off the tiles,
        // and a run of vectors that starts off the groups.
        const int32_t i0 = count > 2 ? 1 : 0, k0 = n > 3 ? 3 : 0, k1 = n > 4 ? n - 1 : n;
        for (const auto& [a, b, ka, kb] : {std::array<int32_t, 4>{0, count, 0, n},
                                          std::array<int32_t, 4>{0, count, k0, k1},
                                          std::array<int32_t, 4>{i0, count, 0, n}}) {
          std::vector<float> want = values(count, 3), got = want;
          reference::gs_coefficients(basis.data(), n, w.data(), want.data(), a, b, ka, kb);
          gs_coefficients(basis.data(), n, w.data(), got.data(), a, b, ka, kb);
          EXPECT_TRUE(same_bits(want, got)) << "lanes " << lanes << " count " << count << " n "
                                            << n << " vectors " << a << ".." << b
                                            << " elements " << ka << ".." << kb;
        }
      }
    }
  });
}

TEST_F(GramSchmidt, CoefficientsContinueOverAscendingRanges) {
  at_every_width([](int32_t lanes) {
    const int32_t count = 21, n = 203;
    const std::vector<float> basis = values(std::size_t(count) * n, 7);
    const std::vector<float> w = values(n, 8);
    std::vector<float> whole(count, 0.0f), pieces(count, 0.0f);
    gs_coefficients(basis.data(), n, w.data(), whole.data(), 0, count, 0, n);
    for (int32_t k0 = 0; k0 < n; k0 += 29) {  // blocks of 29, the last one shorter
      gs_coefficients(basis.data(), n, w.data(), pieces.data(), 0, count, k0,
                      std::min(n, k0 + 29));
    }
    EXPECT_TRUE(same_bits(whole, pieces)) << "lanes " << lanes;
  });
}

TEST_F(GramSchmidt, SubtractionHasTheBitsOfThePlainLoop) {
  at_every_width([](int32_t lanes) {
    for (int32_t count : {1, 7, 8, 9, 16, 17, 25}) {
      for (int32_t n : {1, 7, 8, 33, 64, 65, 130}) {
        const std::vector<float> basis = values(std::size_t(count) * n, 13u * count + n);
        const std::vector<float> c = values(count, 17u + count);
        const int32_t k0 = n > 5 ? 5 : 0, k1 = n > 6 ? n - 2 : n;
        for (const auto& [ka, kb] : {std::pair{0, n}, std::pair{k0, k1}}) {
          std::vector<float> want = values(n, 19), got = want;
          reference::gs_subtract(basis.data(), n, c.data(), count, want.data(), ka, kb);
          gs_subtract(basis.data(), n, c.data(), count, got.data(), ka, kb);
          EXPECT_TRUE(same_bits(want, got)) << "lanes " << lanes << " count " << count << " n "
                                            << n << " elements " << ka << ".." << kb;
        }
      }
    }
  });
}

// Empty ranges leave everything as it was, and nothing outside a range is
// touched.
TEST_F(GramSchmidt, EmptyRangesAndBordersAreLeftAlone) {
  at_every_width([](int32_t lanes) {
    const int32_t count = 9, n = 40;
    const std::vector<float> basis = values(std::size_t(count) * n, 23);
    const std::vector<float> w0 = values(n, 29), c0 = values(count, 31);
    std::vector<float> w = w0, c = c0;
    gs_coefficients(basis.data(), n, w.data(), c.data(), 4, 4, 0, n);
    gs_coefficients(basis.data(), n, w.data(), c.data(), 0, count, 10, 10);
    gs_subtract(basis.data(), n, c.data(), 0, w.data(), 0, n);
    gs_subtract(basis.data(), n, c.data(), count, w.data(), 12, 12);
    EXPECT_TRUE(same_bits(w, w0) && same_bits(c, c0)) << "lanes " << lanes;
    gs_subtract(basis.data(), n, c.data(), count, w.data(), 11, 27);
    for (int32_t k = 0; k < n; ++k) {
      if (k < 11 || k >= 27) {
        EXPECT_EQ(w[k], w0[k]) << "lanes " << lanes << " element " << k;
      }
    }
    gs_coefficients(basis.data(), n, w.data(), c.data(), 2, 6, 0, n);
    for (int32_t i = 0; i < count; ++i) {
      if (i < 2 || i >= 6) {
        EXPECT_EQ(c[i], c0[i]) << "lanes " << lanes << " vector " << i;
      }
    }
  });
}

}  // namespace
}  // namespace mv
