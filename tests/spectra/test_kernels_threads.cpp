// The shipped kernels against the plain transcriptions, bit for bit, at every
// lane width the processor offers and at 1, 2, 3 and 7 threads, on matrices
// that drive them through their special paths: steps with nothing to reflect
// (block structure, zero rows), subnormal numbers, padding rows (leading
// dimension above n), and sizes around every block, band and strip boundary.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "parallel/pool.h"
#include "reference_kernels.h"
#include "spectra/simd.h"
#include "spectra/tql3.h"
#include "spectra/transform.h"
#include "spectra/tred3.h"
#include "spectra_test_util.h"

namespace mv {
namespace {

using test::first_bit_difference;
using test::random_symmetric;
using test::random_vector;

enum class Kind { random, blocks, zero_rows, banded_subnormal };

const char* name(Kind k) {
  switch (k) {
    case Kind::random:
      return "random";
    case Kind::blocks:
      return "blocks";
    case Kind::zero_rows:
      return "zero-rows";
    case Kind::banded_subnormal:
      return "banded-subnormal";
  }
  return "?";
}

// A symmetric lower triangle of the given kind, n x n in leading dimension nm.
std::vector<float> matrix(Kind kind, int32_t n, int32_t nm, uint32_t seed) {
  std::vector<float> a = random_symmetric(n, nm, seed);
  auto at = [&](int32_t i, int32_t j) -> float& { return a[i + static_cast<std::size_t>(j) * nm]; };
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = j; i < n; ++i) {
      switch (kind) {
        case Kind::random:
          break;
        case Kind::blocks:  // diagonal blocks of 1, 2, ..., 13 rows, uncoupled
          if ((i * 7 / 45) != (j * 7 / 45) || (i % 13 == 4 && i != j)) at(i, j) = 0.0f;
          break;
        case Kind::zero_rows:  // every fifth state decoupled, one of them with a -0 coupling
          if ((i % 5 == 2 || j % 5 == 2) && i != j) at(i, j) = (i + j) % 2 ? -0.0f : 0.0f;
          if (i % 11 == 3) at(i, j) = 0.0f;
          break;
        case Kind::banded_subnormal:  // band of width 4, some couplings below the normal range
          if (i - j > 4)
            at(i, j) = 0.0f;
          else if ((i + j) % 3 == 0 && i != j)
            at(i, j) *= 1.0e-39f;
          break;
      }
    }
  }
  return a;
}

struct Config {
  int32_t threads;
  int32_t lanes;
  std::string label() const {
    return " threads=" + std::to_string(threads) + " lanes=" + std::to_string(lanes);
  }
};

class KernelsEverywhere : public ::testing::Test {
 protected:
  void TearDown() override {
    simd::limit_width(0);
    parallel::set_threads(0);
  }
  // Every combination of thread count and lane width, set while check runs.
  template <class F>
  static void everywhere(F check) {
    for (int32_t t : {1, 2, 3, 7}) {
      for (int32_t w : {4, 8, 16}) {
        if (w > simd::widest_available()) break;
        parallel::set_threads(t);
        simd::limit_width(w);
        check(Config{t, w});
      }
    }
  }
  static std::vector<int32_t> sizes() {
    // The unoptimised sanitizer build keeps one size beyond the point where
    // the reduction shares its steps (256 rows): the others take minutes there.
#ifdef NDEBUG
    return {1, 2, 3, 5, 40, 77, 300, 301, 333, 1000};
#else
    return {1, 2, 3, 5, 40, 77, 301};
#endif
  }
};

TEST_F(KernelsEverywhere, Tred3AndTql3MatchThePlainTranscriptions) {
  for (Kind kind : {Kind::random, Kind::blocks, Kind::zero_rows, Kind::banded_subnormal}) {
    for (int32_t n : sizes()) {
      if (n >= 1000 && kind != Kind::random) continue;  // one large case is enough
      const int32_t nm = n + (n % 2 ? 3 : 0);
      const std::string what = std::string(name(kind)) + " n=" + std::to_string(n);
      const std::vector<float> a0 = matrix(kind, n, nm, 40u + n);
      std::vector<float> ra = a0, rd(n, -3.0f), re(n, -3.0f);
      reference::tred3(ra.data(), nm, n, rd.data(), re.data());
      // The QL stage carrying the reduction's Q with its padding rows (as
      // eigen2 carries vectors: all nm rows).
      std::vector<float> qd = rd, qe = re, qz = ra;
      int32_t qerr = -1;
      reference::tql3(nm, n, qd.data(), qe.data(), qz.data(), qerr);

      everywhere([&](const Config& c) {
        std::vector<float> a = a0, d(n, -3.0f), e(n, -3.0f);
        tred3(a.data(), nm, n, d.data(), e.data());
        ASSERT_EQ(first_bit_difference(a, ra), -1) << what << c.label() << " tred3 matrix";
        ASSERT_EQ(first_bit_difference(d, rd), -1) << what << c.label() << " tred3 d";
        ASSERT_EQ(first_bit_difference(e, re), -1) << what << c.label() << " tred3 e";
        int32_t ierr = -1;
        tql3(nm, n, d.data(), e.data(), a.data(), ierr);
        EXPECT_EQ(ierr, qerr) << what << c.label();
        ASSERT_EQ(first_bit_difference(a, qz), -1) << what << c.label() << " tql3 z";
        ASSERT_EQ(first_bit_difference(d, qd), -1) << what << c.label() << " tql3 d";
      });
    }
  }
}

TEST_F(KernelsEverywhere, Tql3CarriesAnyNumberOfRowsAlike) {
  // Row counts around the direct/recorded switch and the band widths, on a
  // tridiagonal matrix with split points and subnormal couplings.
  const int32_t n = 150;
  std::vector<float> d0 = random_vector(n, 5u, -2.0f, 2.0f), e0 = random_vector(n, 6u);
  e0[0] = 0.0f;
  for (int32_t i = 9; i < n; i += 17) e0[i] = (i % 2) ? 0.0f : 3.0e-40f;
  for (int32_t rows : {1, 15, 16, 33, 64, 127, 128, 129, 200, 257, 700}) {
    const std::vector<float> z0 = random_vector(static_cast<std::size_t>(rows) * n, 7u + rows);
    std::vector<float> rd = d0, re = e0, rz = z0;
    int32_t rerr = -1;
    reference::tql3(rows, n, rd.data(), re.data(), rz.data(), rerr);
    everywhere([&](const Config& c) {
      std::vector<float> d = d0, e = e0, z = z0;
      int32_t ierr = -1;
      tql3(rows, n, d.data(), e.data(), z.data(), ierr);
      EXPECT_EQ(ierr, rerr);
      ASSERT_EQ(first_bit_difference(z, rz), -1) << "rows=" << rows << c.label();
      ASSERT_EQ(first_bit_difference(d, rd), -1) << "rows=" << rows << c.label();
    });
  }
}

// Entries of every kind a basis transform meets: ordinary, zero, negative
// zero and subnormal.
std::vector<float> operand(std::size_t cells, uint32_t seed) {
  std::vector<float> v = random_vector(cells, seed);
  for (std::size_t k = 0; k < cells; k += 7) v[k] = (k % 2) ? -0.0f : 0.0f;
  for (std::size_t k = 3; k < cells; k += 11) v[k] *= 1.0e-39f;
  return v;
}

TEST_F(KernelsEverywhere, BasisTransformsMatchThePlainTripleLoops) {
  for (int32_t p : sizes()) {
    for (int32_t r : {1, 3, 5, 40, 77}) {
      if (p >= 1000 && r > 40) continue;
      const int32_t q = p + 5;   // rows of Z beyond p, leading dimension of X
      const int32_t s2 = r + 2;  // leading dimension of A (mmult2)
      const int32_t s1 = p + 3;  // leading dimension of Y (mmult1)
      const std::string what = "p=" + std::to_string(p) + " r=" + std::to_string(r);
      const std::vector<float> z = operand(std::size_t(q) * r, 1u + p),
                               a = operand(std::size_t(s2) * r, 2u + r);
      const std::vector<float> x = operand(std::size_t(q) * p, 3u + p),
                               y = operand(std::size_t(s1) * r, 4u + r);
      std::vector<float> want2(std::size_t(q) * r, 9.0f), want1(std::size_t(s1) * r, 9.0f);
      reference::mmult2(p, q, r, s2, z.data(), a.data(), want2.data());
      reference::mmult1(p, q, r, s1, x.data(), y.data(), want1.data());
      everywhere([&](const Config& c) {
        std::vector<float> got2(want2.size(), 9.0f), got1(want1.size(), 9.0f);
        mmult2(p, q, r, s2, z.data(), a.data(), got2.data());
        mmult1(p, q, r, s1, x.data(), y.data(), got1.data());
        ASSERT_EQ(first_bit_difference(got2, want2), -1) << what << c.label() << " mmult2";
        ASSERT_EQ(first_bit_difference(got1, want1), -1) << what << c.label() << " mmult1";
      });
    }
  }
}

}  // namespace
}  // namespace mv
