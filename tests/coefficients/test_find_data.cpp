// The computed-matrix store: compute-and-store, read-back, keys, cleared
// records, capacity, truncation behind the index and size-mismatched records.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "coefficients/find_data.h"
#include "io/units.h"

namespace mv::test {
namespace {

int calls = 0;

// Stands in for a diagonaliser: the result depends on the input and on how
// often it ran, so a read-back can be told from a recomputation.
void fake_routine(float* a, int32_t lda, int32_t n, float* v1, float* v2) {
  ++calls;
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < n; ++i)
      a[i + j * lda] = a[i + j * lda] * 2.0f + static_cast<float>(calls);
    v1[j] = static_cast<float>(100 * calls + j);
    v2[j] = -static_cast<float>(j + 1);
  }
}

struct result {
  std::vector<float> a, v1, v2;
};

// A request on an n x n matrix a(i,j) = 10 i + j stored with leading dimension lda.
result request(int32_t state, const std::string& label, int32_t n, int32_t lda = 0) {
  if (lda == 0) lda = n;
  result r;
  r.a.assign(static_cast<std::size_t>(lda * n), -1.0f);
  for (int32_t j = 1; j <= n; ++j) {
    for (int32_t i = 1; i <= n; ++i) r.a[(i - 1) + (j - 1) * lda] = static_cast<float>(10 * i + j);
  }
  r.v1.assign(static_cast<std::size_t>(n), 0.0f);
  r.v2.assign(static_cast<std::size_t>(n), 0.0f);
  find_data(state, label, fake_routine, r.a.data(), lda, n, r.v1.data(), r.v2.data());
  return r;
}

// Byte lengths of the records of unit 98.
std::vector<uint32_t> record_lengths() {
  const std::string bytes = unit_contents(store_unit);
  std::vector<uint32_t> r;
  std::size_t pos = 0;
  while (pos + 4 <= bytes.size()) {
    uint32_t len = 0;
    std::memcpy(&len, bytes.data() + pos, 4);
    r.push_back(len);
    pos += 8 + len;
  }
  EXPECT_EQ(pos, bytes.size());
  return r;
}

std::vector<std::string> log_lines() {
  std::vector<std::string> r;
  std::istringstream in(unit_contents(6));
  for (std::string line; std::getline(in, line);) r.push_back(line);
  return r;
}

class FindDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    store_index = {};
    store_ir_index = {};
    calls = 0;
    attach_memory(6);
    attach_memory(store_unit);
  }
  void TearDown() override { reset_units(); }
};

TEST_F(FindDataTest, FirstRequestIsStoredAndARepeatIsReadBack) {
  const result first = request(1, "A1G", 2);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(first.a, (std::vector<float>{23, 43, 25, 45}));
  EXPECT_EQ(store_index.count, 1);
  EXPECT_EQ(store_index.state[0], 1);
  EXPECT_EQ(store_ir_index.label[0], "A1G                 ");
  EXPECT_EQ(record_lengths(), std::vector<uint32_t>{4 * (4 + 4)});
  // The record holds the matrix column by column, then both vectors.
  const std::string bytes = unit_contents(store_unit);
  float stored[8];
  std::memcpy(stored, bytes.data() + 4, sizeof stored);
  EXPECT_EQ(std::vector<float>(stored, stored + 8),
            (std::vector<float>{23, 43, 25, 45, 100, 101, -1, -2}));

  const result again = request(1, "A1G", 2);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(again.a, first.a);
  EXPECT_EQ(again.v1, first.v1);
  EXPECT_EQ(again.v2, first.v2);
  EXPECT_EQ(log_lines(),
            (std::vector<std::string>{
                " Data required for symmetry A1G                  state=  1   dimension         2",
                " Data calculated and stored on file98 record nr.    1",
                " Data required for symmetry A1G                  state=  1   dimension         2",
                " Data read from file 98 record nr.   1"}));
}

TEST_F(FindDataTest, KeysAndClearedRecords) {
  request(1, "T1U", 2);
  request(2, "T1U", 2);  // same label, other state: another record
  request(2, "T1UX", 2);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(store_index.count, 3);
  attach_memory(6);
  const result r = request(2, "T1U", 2);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(r.v1[0], 200.0f);
  EXPECT_EQ(log_lines().back(), " Data read from file 98 record nr.   2");

  store_index.state[1] = 0;  // cleared: its data stay in the file but are never found
  attach_memory(6);
  request(2, "T1U", 2);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(store_index.count, 4);
  EXPECT_EQ(log_lines().back(), " Data calculated and stored on file98 record nr.    4");
  EXPECT_EQ(record_lengths().size(), 4u);
  attach_memory(6);
  EXPECT_EQ(request(2, "T1UX", 2).v1[0], 300.0f);  // records behind the hole still found
  EXPECT_EQ(log_lines().back(), " Data read from file 98 record nr.   3");
}

TEST_F(FindDataTest, LeadingDimensionLargerThanOrder) {
  const result first = request(1, "E", 2, 3);
  // Row 3 of each column is outside the matrix: untouched and not stored.
  EXPECT_EQ(first.a, (std::vector<float>{23, 43, -1, 25, 45, -1}));
  EXPECT_EQ(record_lengths(), std::vector<uint32_t>{32});
  result back;
  back.a.assign(6, -7.0f);
  back.v1.assign(2, 0.0f);
  back.v2.assign(2, 0.0f);
  find_data(1, "E", fake_routine, back.a.data(), 3, 2, back.v1.data(), back.v2.data());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(back.a, (std::vector<float>{23, 43, -7, 25, 45, -7}));
  EXPECT_EQ(back.v1, first.v1);
}

TEST_F(FindDataTest, TheHundredAndFirstResultIsNotStored) {
  for (int k = 1; k <= maxix; ++k) request(1, "L" + std::to_string(k), 1);
  EXPECT_EQ(store_index.count, maxix);
  attach_memory(6);
  request(1, "L101", 1);
  EXPECT_EQ(calls, 101);
  EXPECT_EQ(store_index.count, maxix);
  EXPECT_EQ(record_lengths().size(), 100u);
  EXPECT_EQ(log_lines().back(),
            " Maximum number of stored matrixes has been reached. Calculated matrix will not be "
            "stored. You may increase MAXIX.");
  request(1, "L101", 1);  // computed again
  EXPECT_EQ(calls, 102);
  attach_memory(6);
  request(1, "L100", 1);
  EXPECT_EQ(calls, 102);
  EXPECT_EQ(log_lines().back(), " Data read from file 98 record nr. 100");
}

TEST_F(FindDataTest, NewRecordReplacesWhatFollowsTheIndex) {
  attach_memory(store_unit, std::string(100, 'x'));  // left by an earlier run: overwritten
  request(1, "A", 1);
  EXPECT_EQ(record_lengths(), std::vector<uint32_t>{12});
  request(2, "B", 3);
  request(2, "C", 3);
  EXPECT_EQ(record_lengths(), (std::vector<uint32_t>{12, 60, 60}));
  store_index.count = 1;  // B and C dropped from the index, as between blocks
  request(2, "D", 2);
  EXPECT_EQ(store_index.count, 2);
  EXPECT_EQ(record_lengths(), (std::vector<uint32_t>{12, 32}));
  attach_memory(6);
  request(2, "D", 2);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(log_lines().back(), " Data read from file 98 record nr.   2");
}

TEST_F(FindDataTest, RecordOfAnotherSizeIsNotFound) {
  request(1, "A1G", 2);
  const result bigger = request(1, "A1G", 3);  // same key, other dimension
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(store_index.count, 2);
  EXPECT_EQ(record_lengths(), (std::vector<uint32_t>{32, 60}));
  EXPECT_EQ(bigger.v1[0], 200.0f);
  attach_memory(6);
  EXPECT_EQ(request(1, "A1G", 3).v1[0], 200.0f);
  EXPECT_EQ(log_lines().back(), " Data read from file 98 record nr.   2");
  EXPECT_EQ(request(1, "A1G", 2).v1[0], 100.0f);
  EXPECT_EQ(log_lines().back(), " Data read from file 98 record nr.   1");
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace mv::test
