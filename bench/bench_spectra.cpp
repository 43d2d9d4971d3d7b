// Timings of the O(n³) and O(n²) kernels at the sizes a calculation meets:
// the dense diagonaliser and its two stages, the absorption spectrum for one
// initial state (reduction included: the store is emptied every time), and
// the sparse builder on a banded add list.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "coefficients/find_data.h"
#include "hamiltonian/sparse.h"
#include "io/units.h"
#include "reference_kernels.h"
#include "spectra/diag.h"
#include "spectra/spectr_new.h"
#include "workarray/heap.h"

namespace {

std::vector<float> random_symmetric(int32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> a(static_cast<std::size_t>(n) * n);
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = j; i < n; ++i) a[i + std::size_t(j) * n] = a[j + std::size_t(i) * n] = u(rng);
  }
  return a;
}

void quiet_units() {
  mv::reset_units();
  mv::attach_memory(6);
  mv::attach_memory(44);
  mv::attach_memory(98);
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(250)->Arg(500)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_diag(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  const std::vector<float> a0 = random_symmetric(n, 1);
  std::vector<float> a, d(n), e(n);
  for (auto _ : state) {
    state.PauseTiming();
    quiet_units();
    a = a0;
    state.ResumeTiming();
    mv::diag(a.data(), n, n, d.data(), e.data());
    benchmark::DoNotOptimize(a.data());
  }
}
BENCHMARK(BM_diag)->Apply(sizes);

using tred3_kernel = void (*)(float*, int32_t, int32_t, float*, float*);
using tql3_kernel = void (*)(int32_t, int32_t, float*, float*, float*, int32_t&);

// The tridiagonal reduction, shipped or as the loop-for-loop transcription
// kept by the tests.
template <tred3_kernel kernel>
void BM_tred3(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  const std::vector<float> a0 = random_symmetric(n, 2);
  std::vector<float> a, d(n), e(n);
  for (auto _ : state) {
    state.PauseTiming();
    a = a0;
    state.ResumeTiming();
    kernel(a.data(), n, n, d.data(), e.data());
    benchmark::DoNotOptimize(a.data());
  }
}
BENCHMARK(BM_tred3<mv::tred3>)->Name("BM_tred3")->Apply(sizes);
BENCHMARK(BM_tred3<mv::reference::tred3>)->Name("BM_tred3_plain")->Apply(sizes);

// The QL stage with n eigenvector rows, on the tridiagonal form of a random matrix.
template <tql3_kernel kernel>
void BM_tql3(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<float> q = random_symmetric(n, 3), d0(n), e0(n);
  mv::tred3(q.data(), n, n, d0.data(), e0.data());
  std::vector<float> z, d, e;
  for (auto _ : state) {
    state.PauseTiming();
    z = q;
    d = d0;
    e = e0;
    state.ResumeTiming();
    int32_t ierr = 0;
    kernel(n, n, d.data(), e.data(), z.data(), ierr);
    benchmark::DoNotOptimize(z.data());
  }
}
BENCHMARK(BM_tql3<mv::tql3>)->Name("BM_tql3")->Apply(sizes);
BENCHMARK(BM_tql3<mv::reference::tql3>)->Name("BM_tql3_plain")->Apply(sizes);

// One initial state, ne = n excited states of a banded Hamiltonian, 8 ground states.
void BM_spectr_new(benchmark::State& state) {
  const int32_t ne = static_cast<int32_t>(state.range(0));
  const int32_t ng = 8, band = 10;
  mv::reset_heap();
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> hd(static_cast<std::size_t>(ne) * ne, 0.0f);
  for (int32_t j = 0; j < ne; ++j) {
    for (int32_t i = j; i < std::min(ne, j + band); ++i)
      hd[i + std::size_t(j) * ne] = hd[j + std::size_t(i) * ne] = u(rng);
  }
  int32_t hexc = 0;
  mv::illoc("bench", 3 * ne, hexc);
  for (int32_t i = 1; i <= ne; ++i) {
    std::vector<float> row(ne);
    for (int32_t j = 0; j < ne; ++j) row[j] = hd[(i - 1) + std::size_t(j) * ne];
    mv::vec_to_row(hexc, row.data(), ne, i);
  }
  std::vector<float> q(ng * ng, 0.0f), t(static_cast<std::size_t>(ng) * ne), eg(ng);
  for (int32_t g = 0; g < ng; ++g) {
    q[g + ng * g] = 1.0f;
    eg[g] = float(g);
  }
  for (float& x : t) x = u(rng);
  std::vector<float> energies(ne), spare(ne), amplitudes(ne);
  for (auto _ : state) {
    state.PauseTiming();
    quiet_units();
    mv::store_index = {};
    mv::store_ir_index = {};
    state.ResumeTiming();
    mv::spectr_new(q.data(), t.data(), hexc, ng, ne, energies.data(), spare.data(),
                   amplitudes.data(), eg.data(), "G", "OP", "EXC", 1, 1);
    benchmark::DoNotOptimize(amplitudes.data());
  }
  mv::reset_heap();
}
BENCHMARK(BM_spectr_new)->Apply(sizes);

// An n x n symmetric matrix from 25 x 25 blocks on and above the diagonal.
void BM_sp_build(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  constexpr int32_t b = 25;
  mv::reset_heap();
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  int32_t stored = 0;
  mv::illoc("bench", 3 * b, stored);
  for (int32_t i = 1; i <= b; ++i) {
    std::vector<float> row(b);
    for (float& x : row) x = (rng() % 3 == 0) ? u(rng) : 0.0f;
    mv::vec_to_row(stored, row.data(), b, i);
  }
  mv::indx.pos[0] = stored;
  int32_t q = 0;
  auto term = [&](int32_t r0, int32_t c0, float factor, float shift) {
    mv::ibuild.mat[q] = 1;
    mv::ibuild.row0[q] = r0;
    mv::ibuild.col0[q] = c0;
    mv::ibuild.nrow[q] = b;
    mv::ibuild.ncol[q] = b;
    mv::ibuild.factor[q] = factor;
    mv::ibuild.shift[q] = shift;
    ++q;
  };
  for (int32_t r0 = 1; r0 + b - 1 <= n; r0 += b) {
    term(r0, r0, 1.0f, 0.5f * float(r0));
    if (r0 + 2 * b - 1 <= n) term(r0, r0 + b, 0.25f, 0.0f);
  }
  for (auto _ : state) {
    int32_t marker = 0;
    mv::alloc("bench marker", 0, marker);
    int32_t p = 0;
    mv::sp_build(p, q, n, n, 1);
    benchmark::DoNotOptimize(p);
    mv::cut_heap("bench marker", marker);
  }
  mv::reset_heap();
}
BENCHMARK(BM_sp_build)->Apply(sizes);

}  // namespace
