// Helpers for the coefficient-store and recipe-reader tests: a fresh run
// state with memory units, stored matrices read back densely, captured
// standard output split into records, and hand-made store-file records.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "coefficients/actors.h"
#include "coefficients/cowan.h"
#include "hamiltonian/sparse.h"
#include "input/reader.h"
#include "io/stop.h"
#include "io/units.h"
#include "workarray/heap.h"

namespace mv::testing {

using Dense = std::vector<std::vector<float>>;  // [row][column], 0-based

class CoefficientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    attach_memory(6);
    attach_memory(99);
    reset_heap();
    reset_reader();
    qaz = {};
    actors = {};
    cprmult = {};
    cowan_store = {};
    ibuild = {};
    indx = {};
  }
  void TearDown() override { reset_units(); }
};

inline std::vector<std::string> records(int32_t unit) {
  std::vector<std::string> lines;
  const std::string text = unit_contents(unit);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

inline bool has_record(int32_t unit, const std::string& line) {
  for (const std::string& r : records(unit)) {
    if (r == line) return true;
  }
  return false;
}

inline bool output_contains(const std::string& text) {
  return unit_contents(6).find(text) != std::string::npos;
}

// Stored matrix m (1-based, of the last load) read straight from its row index.
inline Dense stored(int32_t m, int32_t nrow, int32_t ncol) {
  Dense a(static_cast<std::size_t>(nrow), std::vector<float>(static_cast<std::size_t>(ncol), 0.0f));
  const int32_t* index = ih(indx.pos[m - 1]);
  for (int32_t i = 0; i < nrow; ++i) {
    const float* v = rh(index[3 * i]);
    const int32_t* c = ih(index[3 * i + 1]);
    for (int32_t e = 0; e < index[3 * i + 2]; ++e) {
      if (c[e] >= 1 && c[e] <= ncol)
        a[static_cast<std::size_t>(i)][static_cast<std::size_t>(c[e] - 1)] = v[e];
      else
        ADD_FAILURE() << "matrix " << m << " row " << i + 1 << " column " << c[e];
    }
  }
  return a;
}

// The dense form of a built sparse matrix through expand, as [row][column].
inline Dense expanded(int32_t p, int32_t n, int32_t m) {
  std::vector<float> d(static_cast<std::size_t>(n) * static_cast<std::size_t>(m), -7.0f);
  expand(d.data(), p, n, m);
  Dense a(static_cast<std::size_t>(n), std::vector<float>(static_cast<std::size_t>(m)));
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t j = 0; j < m; ++j) a[i][j] = d[static_cast<std::size_t>(i + j * n)];
  }
  return a;
}

// One unformatted record: length, data, length.
inline std::string framed(const std::vector<int32_t>& v) {
  const auto bytes = static_cast<uint32_t>(v.size() * 4);
  std::string r(4 + bytes + 4, '\0');
  std::memcpy(r.data(), &bytes, 4);
  if (bytes > 0) std::memcpy(r.data() + 4, v.data(), bytes);
  std::memcpy(r.data() + 4 + bytes, &bytes, 4);
  return r;
}
inline std::string framed_reals(const std::vector<float>& v) {
  std::vector<int32_t> bits(v.size());
  if (!v.empty()) std::memcpy(bits.data(), v.data(), v.size() * 4);
  return framed(bits);
}

// Runs f and returns the stop it ends with; fails when it does not stop.
template <class F>
RunStop stop_of(F&& f) {
  try {
    f();
  } catch (const RunStop& s) {
    return s;
  }
  ADD_FAILURE() << "expected the run to stop";
  return {};
}

// Everything a load of a store-file section leaves behind: the output, the
// work array up to its top (row indexes, columns and values), the first two
// matrices' positions.
struct Loaded {
  std::string output;
  std::vector<uint32_t> cells;
  int32_t pos1 = 0, pos2 = 0;
};
inline Loaded load(const std::string& bytes) {
  reset_heap();
  attach_memory(6);
  qaz.oldcowan = 1;
  cowan_store = {};
  attach_memory(99, bytes);
  cowan();
  Loaded out{unit_contents(6), {}, indx.pos[0], indx.pos[1]};
  out.cells.resize(static_cast<std::size_t>(heap_info.top));
  std::memcpy(out.cells.data(), rh(1), out.cells.size() * 4);
  return out;
}

// Loading the section stops the run with status 2, naming FTN99 and saying says.
inline void refused_store(const std::string& bytes, const std::string& why,
                          const std::string& says) {
  SCOPED_TRACE(why);
  reset_heap();
  qaz.oldcowan = 1;
  attach_memory(99, bytes);
  const RunStop s = stop_of([] { cowan(); });
  EXPECT_EQ(s.status, status_file);
  EXPECT_NE(s.text.find("FTN99"), std::string::npos) << s.text;
  EXPECT_NE(s.text.find(says), std::string::npos) << s.text;
}

}  // namespace mv::testing
