// The two halves of a reorthogonalisation pass in a Krylov run against the
// plain loops they replace: the coefficients c_i = q_i · w and the
// subtraction w −= Σ c_i q_i, over a basis of `count` vectors of n elements
// (the shape of the 3d¹ charge-transfer model's core-hole space: 10 695
// states, 500 steps), and over one cache-sized block of elements as the
// single-thread sweep takes them. Both give the same bits; the run checks
// that before timing.
//   bench_gram_schmidt [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "reference_kernels.h"
#include "spectra/gram_schmidt.h"

namespace {

struct Problem {
  int32_t n = 0, count = 0;
  std::vector<float> basis, w, c;
};

Problem make(int32_t n, int32_t count) {
  Problem p{n, count, {}, {}, {}};
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  p.basis.resize(std::size_t(n) * count);
  for (float& x : p.basis) x = u(rng);
  p.w.resize(n);
  for (float& x : p.w) x = u(rng);
  p.c.resize(count);
  for (float& x : p.c) x = 0.01f * u(rng);
  return p;
}

using Coefficients = void (*)(const float*, int32_t, const float*, float*, int32_t, int32_t,
                              int32_t, int32_t);
using Subtract = void (*)(const float*, int32_t, const float*, int32_t, float*, int32_t, int32_t);

void same_or_stop(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
  if (a.size() != b.size() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) != 0) {
    std::fprintf(stderr, "bench_gram_schmidt: %s differs from the plain loop\n", what);
    std::exit(1);
  }
}

// Arguments: elements per call (the whole vector, or one block of the sweep), vectors.
template <Coefficients f>
void BM_coefficients(benchmark::State& state) {
  const int32_t block = static_cast<int32_t>(state.range(0));
  const int32_t count = static_cast<int32_t>(state.range(1));
  Problem p = make(10695, count);
  std::vector<float> mine(count, 0.0f), plain(count, 0.0f);
  mv::gs_coefficients(p.basis.data(), p.n, p.w.data(), mine.data(), 0, count, 0, block);
  mv::reference::gs_coefficients(p.basis.data(), p.n, p.w.data(), plain.data(), 0, count, 0,
                                 block);
  same_or_stop(mine, plain, "gs_coefficients");
  for (auto _ : state) {
    f(p.basis.data(), p.n, p.w.data(), mine.data(), 0, count, 0, block);
    benchmark::DoNotOptimize(mine.data());
  }
  state.SetItemsProcessed(state.iterations() * int64_t(block) * count);
}

template <Subtract f>
void BM_subtract(benchmark::State& state) {
  const int32_t block = static_cast<int32_t>(state.range(0));
  const int32_t count = static_cast<int32_t>(state.range(1));
  Problem p = make(10695, count);
  std::vector<float> mine = p.w, plain = p.w;
  mv::gs_subtract(p.basis.data(), p.n, p.c.data(), count, mine.data(), 0, block);
  mv::reference::gs_subtract(p.basis.data(), p.n, p.c.data(), count, plain.data(), 0, block);
  same_or_stop(mine, plain, "gs_subtract");
  for (auto _ : state) {
    f(p.basis.data(), p.n, p.c.data(), count, mine.data(), 0, block);
    benchmark::DoNotOptimize(mine.data());
  }
  state.SetItemsProcessed(state.iterations() * int64_t(block) * count);
}

void shapes(benchmark::internal::Benchmark* b) {
  // One block of the single-thread sweep (the basis block stays in the cache),
  // and whole vectors against a basis of 100 and 500 vectors.
  b->Args({128, 500})->Args({10695, 100})->Args({10695, 500})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_coefficients<mv::gs_coefficients>)->Name("BM_coefficients")->Apply(shapes);
BENCHMARK(BM_coefficients<mv::reference::gs_coefficients>)
    ->Name("BM_coefficients_plain")
    ->Apply(shapes);
BENCHMARK(BM_subtract<mv::gs_subtract>)->Name("BM_subtract")->Apply(shapes);
BENCHMARK(BM_subtract<mv::reference::gs_subtract>)->Name("BM_subtract_plain")->Apply(shapes);

}  // namespace

BENCHMARK_MAIN();
