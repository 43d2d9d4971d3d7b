// Basis transforms against the plain triple loops (bit for bit), and the
// reordering of states by channel key.
#include <gtest/gtest.h>

#include <vector>

#include "spectra/hamsort.h"
#include "spectra/transform.h"
#include "spectra_test_util.h"
#include "workarray/heap.h"

namespace mv {
namespace {

using test::first_bit_difference;
using test::random_vector;

class TransformTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_heap(); }
  void TearDown() override { reset_heap(); }
};

TEST_F(TransformTest, KetAndBraMatchPlainProductsAndClearTheRestRows) {
  struct Shape {
    int32_t p, q, r, s;
  };
  for (const Shape& sh :
       {Shape{1, 1, 9, 9}, Shape{3, 5, 7, 8}, Shape{6, 6, 13, 13}, Shape{17, 20, 5, 6}}) {
    // transform_ket: Z (q x r) <- Z·A, A r x r with leading dimension s.
    std::vector<float> z = random_vector(size_t(sh.q) * sh.r, 11u + sh.p);
    const std::vector<float> a = random_vector(size_t(sh.s) * sh.r, 12u + sh.p);
    std::vector<float> expect(z.size(), 0.0f);
    for (int32_t i = 0; i < sh.p; ++i)
      for (int32_t j = 0; j < sh.r; ++j)
        for (int32_t k = 0; k < sh.r; ++k)
          expect[i + sh.q * k] = expect[i + sh.q * k] + z[i + sh.q * j] * a[j + sh.s * k];
    transform_ket(sh.p, sh.q, sh.r, sh.s, z.data(), a.data());
    EXPECT_EQ(first_bit_difference(z, expect), -1) << "ket p=" << sh.p;
    EXPECT_EQ(heap_info.top, 0);

    // transform_bra: Y (s x r) <- Xᵀ·Y, X p x p with leading dimension q.
    const int32_t s = sh.s < sh.p ? sh.p : sh.s;
    const std::vector<float> x = random_vector(size_t(sh.q) * sh.p, 13u + sh.p);
    std::vector<float> y = random_vector(size_t(s) * sh.r, 14u + sh.p);
    std::vector<float> want(y.size(), 0.0f);
    for (int32_t i = 0; i < sh.p; ++i)
      for (int32_t j = 0; j < sh.p; ++j)
        for (int32_t k = 0; k < sh.r; ++k)
          want[i + s * k] = want[i + s * k] + x[j + sh.q * i] * y[j + s * k];
    transform_bra(sh.p, sh.q, sh.r, s, x.data(), y.data());
    EXPECT_EQ(first_bit_difference(y, want), -1) << "bra p=" << sh.p;
    EXPECT_EQ(heap_info.top, 0);
  }
}

TEST(Hamsort, SortsStatesByChannelKeyMovingColumnsAndRows) {
  // Five states; channel codes 2, 0, 1, 0, 2 give the order 2, 4, 3, 1, 5.
  const int32_t p = 2, nof = 5;
  std::vector<int32_t> code{2, 0, 1, 0, 2};
  std::vector<float> t(p * nof), h(nof * nof);
  for (int32_t f = 1; f <= nof; ++f) {
    t[0 + p * (f - 1)] = float(f);
    t[1 + p * (f - 1)] = float(-f);
    for (int32_t g = 1; g <= nof; ++g) h[(f - 1) + nof * (g - 1)] = float(10 * f + g);
  }
  hamsort(p, nof, t.data(), h.data(), code.data());
  const int32_t order[nof] = {2, 4, 3, 1, 5};
  for (int32_t k = 0; k < nof; ++k) {
    EXPECT_EQ(t[0 + p * k], float(order[k]));
    EXPECT_EQ(t[1 + p * k], float(-order[k]));
    for (int32_t l = 0; l < nof; ++l) EXPECT_EQ(h[k + nof * l], float(10 * order[k] + order[l]));
  }
  EXPECT_EQ(code, (std::vector<int32_t>{2, 4, 8, 11, 15}));  // the sorted keys f + nof·code
}

}  // namespace
}  // namespace mv
