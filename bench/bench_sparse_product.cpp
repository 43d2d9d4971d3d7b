// The sparse product y = H x of a Lanczos step, row by row (one chain of
// additions per row) against the sliced copy (eight rows side by side), on a
// matrix shaped like a large built core-hole Hamiltonian: 5154 rows of about
// 1100 elements (about 46 MB, far beyond the caches). Both give the same bits;
// the run checks that before timing.
//   bench_sparse_product [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "parallel/pool.h"
#include "spectra/sparse_slices.h"
#include "workarray/heap.h"

namespace {

constexpr int32_t rows = 5154;
constexpr int32_t per_row = 1100;

// The matrix in the work array (built once), with a random x.
struct Problem {
  int32_t h = 0;
  std::vector<float> x;
  int64_t elements = 0;
};

const Problem& problem() {
  static const Problem p = [] {
    Problem q;
    mv::parallel::set_threads(1);
    mv::set_heap_cells(int32_t(2) * rows * per_row + 4 * rows + 100);
    mv::illoc("bench matrix", 3 * rows, q.h);
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::uniform_int_distribution<int32_t> spread(-per_row / 4, per_row / 4);
    std::vector<int32_t> cols;
    for (int32_t r = 0; r < rows; ++r) {
      const int32_t k = per_row + spread(rng);
      cols.resize(rows);
      for (int32_t c = 0; c < rows; ++c) cols[c] = c + 1;
      std::shuffle(cols.begin(), cols.end(), rng);
      cols.resize(k);
      std::sort(cols.begin(), cols.end());
      int32_t vp = 0, cp = 0;
      mv::alloc("bench row", k, vp);
      mv::illoc("bench row", k, cp);
      for (int32_t e = 0; e < k; ++e) {
        mv::rh(vp)[e] = u(rng);
        mv::ih(cp)[e] = cols[e];
      }
      int32_t* t = mv::ih(q.h) + 3 * r;
      t[0] = vp;
      t[1] = cp;
      t[2] = k;
      q.elements += k;
    }
    q.x.resize(rows);
    for (float& v : q.x) v = u(rng);
    return q;
  }();
  return p;
}

void row_by_row(int32_t h, const float* x, float* y) {
  for (int32_t r = 0; r < rows; ++r) {
    const int32_t* t = mv::ih(h) + 3 * r;
    const float* values = mv::rh(t[0]);
    const int32_t* cols = mv::ih(t[1]);
    float sum = 0.0f;
    for (int32_t e = 0; e < t[2]; ++e) sum = sum + values[e] * x[cols[e] - 1];
    y[r] = sum;
  }
}

void report(benchmark::State& state) {
  const int64_t n = problem().elements * state.iterations();
  state.counters["ns/element"] =
      benchmark::Counter(double(n), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RowByRow(benchmark::State& state) {
  const Problem& p = problem();
  std::vector<float> y(rows);
  for (auto _ : state) {
    row_by_row(p.h, p.x.data(), y.data());
    benchmark::DoNotOptimize(y.data());
  }
  report(state);
}

void BM_Sliced(benchmark::State& state) {
  const Problem& p = problem();
  const mv::sliced_matrix a = mv::slice_rows(p.h, rows);
  std::vector<float> y(rows), want(rows);
  row_by_row(p.h, p.x.data(), want.data());
  mv::sliced_times(a, p.x.data(), y.data());
  if (std::memcmp(y.data(), want.data(), sizeof(float) * rows) != 0) {
    std::fprintf(stderr, "the sliced product differs from the row sums\n");
    std::exit(1);
  }
  for (auto _ : state) {
    mv::sliced_times(a, p.x.data(), y.data());
    benchmark::DoNotOptimize(y.data());
  }
  report(state);
}

}  // namespace

BENCHMARK(BM_RowByRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sliced)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
