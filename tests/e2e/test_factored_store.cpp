// A whole run whose coefficient store holds its matrices factored gives the
// same output files, byte for byte, as the run on the store written whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Reads the 4-byte items of an unformatted file's records one by one.
struct Records {
  const std::string& file;
  std::size_t at = 0;
  bool done() const { return at + 8 > file.size(); }
  std::vector<int32_t> next() {
    uint32_t bytes = 0;
    std::memcpy(&bytes, file.data() + at, 4);
    std::vector<int32_t> items(bytes / 4);
    if (bytes > 0) std::memcpy(items.data(), file.data() + at + 4, bytes);
    at += 8 + bytes;
    return items;
  }
};

std::string framed(const std::vector<int32_t>& v) {
  const auto bytes = static_cast<uint32_t>(v.size() * 4);
  std::string r(8 + bytes, '\0');
  std::memcpy(r.data(), &bytes, 4);
  if (bytes > 0) std::memcpy(r.data() + 4, v.data(), bytes);
  std::memcpy(r.data() + 4 + bytes, &bytes, 4);
  return r;
}

// The engine's whole store with every matrix that has rows and no stored zero
// rewritten factored (C its last column): a row block per row, one column
// block; row i is 1 * kron(F_i, G) + 0.5 * kron(Z, G), F_i the row (1 x C),
// G = (1), Z a zero row (1 x C); threshold 0. `factored` counts them.
std::string factored_store(const std::string& ftn99, int& factored) {
  Records in{ftn99};
  std::string out;
  while (!in.done()) {
    const std::vector<int32_t> head = in.next();
    std::vector<int32_t> counts = in.next();
    std::string body;
    for (int32_t k = 0; k < head.at(1); ++k) {
      const std::vector<int32_t> index = in.next(), cols = in.next(), values = in.next();
      const int32_t rows = counts.at(2 * k + 1);
      int32_t columns = 0, base_v = INT32_MAX, base_c = INT32_MAX;
      bool zero = false;
      for (int32_t c : cols) columns = std::max(columns, c);
      for (int32_t v : values) zero = zero || (v & 0x7fffffff) == 0;
      for (int32_t i = 0; i < rows; ++i) {
        base_v = std::min(base_v, index[3 * i]);
        base_c = std::min(base_c, index[3 * i + 1]);
      }
      if (rows == 0 || zero) {
        body += framed(index) + framed(cols) + framed(values);
        continue;
      }
      std::vector<int32_t> dense(static_cast<std::size_t>(rows) * columns, 0);
      for (int32_t i = 0; i < rows; ++i) {
        for (int32_t e = 0; e < index[3 * i + 2]; ++e) {
          dense[static_cast<std::size_t>(i) * columns + cols[index[3 * i + 1] - base_c + e] - 1] =
              values[index[3 * i] - base_v + e];
        }
      }
      int32_t one = 0, half = 0;
      const float unit = 1.0f, a_half = 0.5f;
      std::memcpy(&one, &unit, 4);
      std::memcpy(&half, &a_half, 4);
      dense.push_back(one);                   // G
      dense.insert(dense.end(), columns, 0);  // Z
      std::vector<int32_t> blocks(2 * rows, 1), shapes, terms, weights{0};
      blocks.insert(blocks.end(), {columns, 1});
      for (int32_t i = 1; i <= rows; ++i) {
        shapes.insert(shapes.end(), {1, columns});
        terms.insert(terms.end(), {i, 1, i, rows + 1, i, 1, rows + 2, rows + 1});
        weights.insert(weights.end(), {one, half});
      }
      shapes.insert(shapes.end(), {1, 1, 1, columns});
      counts[2 * k + 1] = -rows;
      body += framed({columns, rows, 1, rows + 2, 2 * rows, (rows + 1) * columns + 1}) +
              framed(blocks) + framed(shapes) + framed(dense) + framed(terms) + framed(weights);
      ++factored;
    }
    out += framed(head) + framed(counts) + body;
  }
  return out;
}

// Every file of the run directory but the store file, with the run's streams.
std::map<std::string, std::string> outputs(const RunDir& dir, const RunResult& r) {
  std::map<std::string, std::string> files{{"stdout", r.out}, {"stderr", r.err}};
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "FTN99") files[name] = dir.get(name);
  }
  return files;
}

TEST(FactoredStore, RunGivesTheOutputsOfTheWholeStore) {
  RunDir dir("factored_store");
  put_example(dir, "charge_transfer");
  ASSERT_EQ(dir.run().status, 0);
  const std::string whole = dir.get("FTN99");
  dir.put("fort.50", "OLDCOWAN\n" + example_file("charge_transfer", "fort.50"));
  const RunResult from_whole = dir.run();
  ASSERT_EQ(from_whole.status, 0) << from_whole.err;
  const auto expected = outputs(dir, from_whole);

  int factored = 0;
  dir.put("FTN99", factored_store(whole, factored));
  EXPECT_GT(factored, 10);
  const RunResult from_factored = dir.run();
  ASSERT_EQ(from_factored.status, 0) << from_factored.err;
  const auto got = outputs(dir, from_factored);
  ASSERT_EQ(got.size(), expected.size());
  for (const auto& [name, text] : expected) EXPECT_TRUE(got.at(name) == text) << name << " differs";
}

}  // namespace
}  // namespace e2e
