// The complex LU (cgefa + cgesl, one right-hand side) against OpenBLAS
// cgetrf + cgetrs on the same random matrices. OpenBLAS runs on one thread;
// ours on --threads T (default 1) with vectors of at most --lanes W floats
// (default: the widest). Prints the best of several turns, the two methods
// taking turns, and their ratio.
//   bench_lu [--threads T] [--lanes W] [n ...]   default n: 500 1000 1500 2000 3000
#include <chrono>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "auger/cgefa.h"
#include "parallel/pool.h"
#include "size_options.h"
#include "spectra/simd.h"

extern "C" {
void cgetrf_(const int* m, const int* n, std::complex<float>* a, const int* lda, int* ipiv,
             int* info);
void cgetrs_(const char* trans, const int* n, const int* nrhs, const std::complex<float>* a,
             const int* lda, const int* ipiv, std::complex<float>* b, const int* ldb, int* info,
             std::size_t trans_len);
void openblas_set_num_threads(int);
}

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

double ours(const std::vector<float>& a0, const std::vector<float>& b0, int n) {
  std::vector<float> a = a0, b = b0;
  std::vector<int32_t> ipvt(n);
  int32_t info = 0;
  const auto t0 = clock_type::now();
  mv::cgefa(a.data(), n, n, ipvt.data(), info);
  mv::cgesl(a.data(), n, n, ipvt.data(), b.data(), 0);
  return seconds_since(t0);
}

double theirs(const std::vector<float>& a0, const std::vector<float>& b0, int n) {
  std::vector<std::complex<float>> a(a0.size() / 2), b(b0.size() / 2);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = {a0[2 * i], a0[2 * i + 1]};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = {b0[2 * i], b0[2 * i + 1]};
  std::vector<int> ipiv(n);
  int info = 0, one = 1;
  const auto t0 = clock_type::now();
  cgetrf_(&n, &n, a.data(), &n, ipiv.data(), &info);
  cgetrs_("N", &n, &one, a.data(), &n, ipiv.data(), b.data(), &n, &info, 1);
  return seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
  openblas_set_num_threads(1);
  const bench::SizeOptions opt = bench::size_options(argc, argv);
  const int threads = opt.threads;
  std::vector<int> sizes = opt.sizes;
  std::printf("threads %d, vectors of up to %d lanes offered (the LU takes at most 8)\n", threads,
              mv::simd::width());
  if (sizes.empty()) sizes = {500, 1000, 1500, 2000, 3000};
  std::printf("%6s %12s %12s %8s %10s\n", "n", "cgefa+cgesl", "OpenBLAS", "ratio", "GFlop/s");
  for (int n : sizes) {
    std::mt19937 rng(n);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> a(2 * std::size_t(n) * n), b(2 * std::size_t(n));
    for (float& x : a) x = u(rng);
    for (float& x : b) x = u(rng);
    const int turns = n <= 1000 ? 5 : n <= 2000 ? 3 : 2;
    double best_ours = 1e30, best_theirs = 1e30;
    for (int t = 0; t < turns; ++t) {
      best_ours = std::min(best_ours, ours(a, b, n));
      best_theirs = std::min(best_theirs, theirs(a, b, n));
    }
    const double flops = 8.0 * n * double(n) * n / 3.0;
    std::printf("%6d %10.1f ms %10.1f ms %7.2fx %10.1f\n", n, 1e3 * best_ours, 1e3 * best_theirs,
                best_ours / best_theirs, flops / best_ours * 1e-9);
    std::fflush(stdout);
  }
}
