// Loading a coefficient-store matrix of about 5 million elements stored
// factored (blocks of two Kronecker products of 10 x 10 factors, the shape of
// a coupled configuration's hybridisation) against the same matrix stored
// whole: wall time of the load, file sizes. Prints figures; not a test.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "coefficients/cowan.h"
#include "io/units.h"
#include "workarray/heap.h"

namespace {

constexpr int32_t nrb = 20, ncb = 30, side = 10;  // blocks of (a, c) = (b, d) = (10, 10)
constexpr int32_t rows = nrb * side * side, columns = ncb * side * side;

template <class T>
std::string framed(const std::vector<T>& v) {
  const auto bytes = static_cast<uint32_t>(v.size() * 4);
  std::string r(8 + bytes, '\0');
  std::memcpy(r.data(), &bytes, 4);
  if (bytes > 0) std::memcpy(r.data() + 4, v.data(), bytes);
  std::memcpy(r.data() + 4 + bytes, &bytes, 4);
  return r;
}

struct Stores {
  std::string factored, whole;
  int64_t elements = 0;
};

// 85 % of the blocks hold two terms, each with its own factors; the whole
// matrix is assembled here in the same arithmetic for the comparison.
Stores make() {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::bernoulli_distribution used(0.85);
  std::vector<int32_t> layout, blocks(2 * (nrb + ncb), side), shapes, terms;
  std::vector<float> values, weights{1e-6f};
  std::vector<float> dense(static_cast<std::size_t>(rows) * columns, 0.0f);
  constexpr int32_t n = side * side;
  for (int32_t bi = 0; bi < nrb; ++bi) {
    for (int32_t bj = 0; bj < ncb; ++bj) {
      if (!used(random)) continue;
      for (int32_t t = 0; t < 2; ++t) {
        const auto f = static_cast<int32_t>(shapes.size() / 2);
        const std::size_t at = values.size();
        for (int32_t e = 0; e < 2 * n; ++e) values.push_back(value(random));
        shapes.insert(shapes.end(), {side, side, side, side});
        terms.insert(terms.end(), {bi + 1, bj + 1, f + 1, f + 2});
        const float w = value(random);
        weights.push_back(w);
        for (int32_t i = 0; i < side; ++i) {
          for (int32_t k = 0; k < side; ++k) {
            for (int32_t j = 0; j < side; ++j) {
              for (int32_t l = 0; l < side; ++l) {
                float& v = dense[static_cast<std::size_t>(bi * n + i * side + k) * columns +
                                 bj * n + j * side + l];
                const float p = (w * values[at + i * side + j]) * values[at + n + k * side + l];
                v = t == 0 ? p : v + p;
              }
            }
          }
        }
      }
    }
  }
  std::vector<int32_t> index, cols;
  std::vector<float> kept;
  for (int32_t r = 0; r < rows; ++r) {
    const auto first = static_cast<int32_t>(cols.size()) + 1;
    for (int32_t c = 0; c < columns; ++c) {
      const float v = dense[static_cast<std::size_t>(r) * columns + c];
      if (v == 0.0f || std::fabs(v) < weights[0]) continue;
      cols.push_back(c + 1);
      kept.push_back(v);
    }
    const auto count = static_cast<int32_t>(cols.size()) + 1 - first;
    index.insert(index.end(), {count ? first : 1, count ? first : 1, count});
  }
  Stores s;
  s.elements = static_cast<int64_t>(cols.size());
  const auto e = static_cast<int32_t>(s.elements);
  layout = {columns,
            nrb,
            ncb,
            static_cast<int32_t>(shapes.size() / 2),
            static_cast<int32_t>(terms.size() / 4),
            static_cast<int32_t>(values.size())};
  s.factored = framed(std::vector<int32_t>{e, 1}) + framed(std::vector<int32_t>{e, -rows}) +
               framed(layout) + framed(blocks) + framed(shapes) + framed(values) + framed(terms) +
               framed(weights);
  s.whole = framed(std::vector<int32_t>{e, 1}) + framed(std::vector<int32_t>{e, rows}) +
            framed(index) + framed(cols) + framed(kept);
  return s;
}

// Seconds to load the store, and the work array's cells afterwards.
double load(const std::string& bytes, std::vector<float>& cells) {
  mv::reset_units();
  mv::attach_memory(6);
  mv::reset_heap();
  mv::qaz.oldcowan = 1;
  mv::attach_memory(99, bytes);
  const auto start = std::chrono::steady_clock::now();
  mv::cowan();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  cells.assign(mv::rh(1), mv::rh(1) + mv::heap_info.top);
  return took.count();
}

}  // namespace

int main() {
  if (!mv::set_heap_cells(20000000)) return 1;
  const Stores s = make();
  std::vector<float> factored_cells, whole_cells;
  std::printf("matrix %d x %d, %lld elements; store %.1f MB factored, %.1f MB whole\n", rows,
              columns, static_cast<long long>(s.elements), s.factored.size() / 1e6,
              s.whole.size() / 1e6);
  for (int repeat = 0; repeat < 3; ++repeat) {
    const double tf = load(s.factored, factored_cells);
    const double tw = load(s.whole, whole_cells);
    std::printf("load: factored %.3f s, whole %.3f s\n", tf, tw);
  }
  const bool same =
      factored_cells.size() == whole_cells.size() &&
      std::memcmp(factored_cells.data(), whole_cells.data(), factored_cells.size() * 4) == 0;
  std::printf("work array after the load: %s\n", same ? "identical" : "DIFFERENT");
  mv::reset_units();
  return same ? 0 : 1;
}
