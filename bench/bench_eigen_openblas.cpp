// The dense symmetric eigen-solver and its two stages against OpenBLAS on the
// same random matrices, the methods taking turns in one process; prints the
// best time of each over a few turns and their ratio (the machine may be
// shared: the ratios mean more than the times).
//   diag  = tred3 + tql3 with eigenvectors   vs  ssyevd ('V', lower)
//   tred3 = reduction with Q accumulated     vs  ssytrd + sorgtr
//   tql3  = QL iteration carrying n rows     vs  ssteqr ('V', same Q; n <= 2000)
// OpenBLAS runs on one thread; ours on --threads T (default 1) with vectors of
// at most --lanes W floats (default: the widest).
//   bench_eigen_openblas [--threads T] [--lanes W] [n ...]   default n: 500 1000 2000 3000
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "parallel/pool.h"
#include "size_options.h"
#include "spectra/diag.h"
#include "spectra/simd.h"

extern "C" {
void ssyevd_(const char* jobz, const char* uplo, const int* n, float* a, const int* lda, float* w,
             float* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t,
             std::size_t);
void ssytrd_(const char* uplo, const int* n, float* a, const int* lda, float* d, float* e,
             float* tau, float* work, const int* lwork, int* info, std::size_t);
void sorgtr_(const char* uplo, const int* n, float* a, const int* lda, const float* tau,
             float* work, const int* lwork, int* info, std::size_t);
void ssteqr_(const char* compz, const int* n, float* d, float* e, float* z, const int* ldz,
             float* work, int* info, std::size_t);
void openblas_set_num_threads(int);
}

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

std::vector<float> random_symmetric(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> a(std::size_t(n) * n);
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) a[i + std::size_t(j) * n] = a[j + std::size_t(i) * n] = u(rng);
  return a;
}

double our_diag(std::vector<float> a, int n) {
  std::vector<float> d(n), e(n);
  int32_t ierr = 0;
  const auto t0 = clock_type::now();
  mv::dcsmaa(a.data(), n, n, d.data(), e.data(), ierr);
  return seconds_since(t0);
}

double their_diag(std::vector<float> a, int n) {
  std::vector<float> w(n);
  int info = 0, lwork = -1, liwork = -1, iw = 0;
  float wq = 0.0f;
  ssyevd_("V", "L", &n, a.data(), &n, w.data(), &wq, &lwork, &iw, &liwork, &info, 1, 1);
  lwork = static_cast<int>(wq) + 1;
  liwork = iw;
  std::vector<float> work(lwork);
  std::vector<int> iwork(liwork);
  const auto t0 = clock_type::now();
  ssyevd_("V", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, iwork.data(), &liwork, &info,
          1, 1);
  return seconds_since(t0);
}

double our_tred3(std::vector<float> a, int n) {
  std::vector<float> d(n), e(n);
  const auto t0 = clock_type::now();
  mv::tred3(a.data(), n, n, d.data(), e.data());
  return seconds_since(t0);
}

// ssytrd + sorgtr; leaves Q in a and the tridiagonal in d, e for ssteqr.
double their_tred3(std::vector<float>& a, int n, std::vector<float>& d, std::vector<float>& e) {
  d.assign(n, 0.0f);
  e.assign(n, 0.0f);
  std::vector<float> tau(n);
  int info = 0, lwork = -1;
  float wq = 0.0f;
  ssytrd_("L", &n, a.data(), &n, d.data(), e.data(), tau.data(), &wq, &lwork, &info, 1);
  lwork = static_cast<int>(wq) + 1;
  std::vector<float> work(lwork);
  const auto t0 = clock_type::now();
  ssytrd_("L", &n, a.data(), &n, d.data(), e.data(), tau.data(), work.data(), &lwork, &info, 1);
  sorgtr_("L", &n, a.data(), &n, tau.data(), work.data(), &lwork, &info, 1);
  return seconds_since(t0);
}

double our_tql3(std::vector<float> z, std::vector<float> d, std::vector<float> e, int n) {
  int32_t ierr = 0;
  const auto t0 = clock_type::now();
  mv::tql3(n, n, d.data(), e.data(), z.data(), ierr);
  return seconds_since(t0);
}

double their_tql3(std::vector<float> z, std::vector<float> d, std::vector<float> e, int n) {
  std::vector<float> work(std::max(1, 2 * n - 2));
  int info = 0;
  const auto t0 = clock_type::now();
  ssteqr_("V", &n, d.data(), e.data(), z.data(), &n, work.data(), &info, 1);
  return seconds_since(t0);
}

void line(const char* what, int n, double ours, double theirs) {
  std::printf("%-6s %6d %10.1f ms %10.1f ms %7.2fx\n", what, n, 1e3 * ours, 1e3 * theirs,
              ours / theirs);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  openblas_set_num_threads(1);
  const bench::SizeOptions opt = bench::size_options(argc, argv);
  const int threads = opt.threads;
  std::vector<int> sizes = opt.sizes;
  std::printf("threads %d, lanes %d; OpenBLAS on one thread\n", threads, mv::simd::width());
  if (sizes.empty()) sizes = {500, 1000, 2000, 3000};
  std::printf("%-6s %6s %13s %13s %8s\n", "", "n", "ours", "OpenBLAS", "ratio");
  for (int n : sizes) {
    const std::vector<float> a = random_symmetric(n, static_cast<unsigned>(n));
    const int turns = n <= 1000 ? 5 : n <= 2000 ? 3 : 2;
    double d_ours = 1e30, d_theirs = 1e30, r_ours = 1e30, r_theirs = 1e30;
    double q_ours = 1e30, q_theirs = 1e30;
    for (int t = 0; t < turns; ++t) {
      d_ours = std::min(d_ours, our_diag(a, n));
      d_theirs = std::min(d_theirs, their_diag(a, n));
      r_ours = std::min(r_ours, our_tred3(a, n));
      std::vector<float> q = a, d, e;
      r_theirs = std::min(r_theirs, their_tred3(q, n, d, e));
      // Both QL stages on the same tridiagonal matrix and Q (e below the
      // diagonal from index 1 on, as tql3 takes it).
      std::vector<float> e1(n, 0.0f);
      std::copy(e.begin(), e.end() - 1, e1.begin() + 1);
      q_ours = std::min(q_ours, our_tql3(q, d, e1, n));
      // ssteqr applies its rotations column pair by column pair: above
      // n = 2000 it takes minutes and says nothing new.
      if (n <= 2000) q_theirs = std::min(q_theirs, their_tql3(q, d, e, n));
    }
    line("diag", n, d_ours, d_theirs);
    line("tred3", n, r_ours, r_theirs);
    if (n <= 2000) {
      line("tql3", n, q_ours, q_theirs);
    } else {
      std::printf("%-6s %6d %10.1f ms %13s\n", "tql3", n, 1e3 * q_ours, "-");
    }
  }
}
