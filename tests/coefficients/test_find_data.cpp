// The computed-matrix store: compute-and-store, read-back, keys, cleared
// records, capacity, truncation behind the index and size-mismatched records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "coefficients/find_data.h"
#include "io/units.h"

namespace mv::test {
namespace {

int calls = 0;

// Stands in for a diagonaliser; its output depends on the input and on how
// often it ran, so a read-back can be told from a recomputation.
void fake_routine(float* a, int32_t lda, int32_t n, float* v1, float* v2) {
  ++calls;
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < n; ++i) a[i + j * lda] = a[i + j * lda] * 2.0f + calls;
    v1[j] = static_cast<float>(100 * calls + j);
    v2[j] = -static_cast<float>(j + 1);
  }
}

struct result {
  std::vector<float> a, v1, v2;
};

// A request on the n x n matrix a(i,j) = 10 i + j, stored with leading dimension
// lda; cells outside the matrix hold `outside`.
result request(int32_t state, const std::string& label, int32_t n, int32_t lda = 0,
               float outside = -1.0f) {
  if (lda == 0) lda = n;
  result r{std::vector<float>(static_cast<std::size_t>(lda * n), outside), std::vector<float>(n),
           std::vector<float>(n)};
  for (int32_t j = 1; j <= n; ++j) {
    for (int32_t i = 1; i <= n; ++i) r.a[(i - 1) + (j - 1) * lda] = static_cast<float>(10 * i + j);
  }
  find_data(state, label, fake_routine, r.a.data(), lda, n, r.v1.data(), r.v2.data());
  return r;
}

std::vector<uint32_t> record_lengths() {
  const std::string bytes = unit_contents(store_unit);
  std::vector<uint32_t> r;
  std::size_t pos = 0;
  for (uint32_t len = 0; pos + 4 <= bytes.size(); pos += 8 + len) {
    std::memcpy(&len, bytes.data() + pos, 4);
    r.push_back(len);
  }
  EXPECT_EQ(pos, bytes.size());
  return r;
}

std::string last_line() {
  std::string log = unit_contents(6);
  log.pop_back();
  return log.substr(log.rfind('\n') + 1);
}

class FindDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_units();
    store_index = {};
    store_ir_index = {};
    calls = 0;
    attach_memory(6);
    attach_memory(store_unit, std::string(100, 'x'));  // left by an earlier run: overwritten
  }
  void TearDown() override { reset_units(); }
};

TEST_F(FindDataTest, FirstRequestIsStoredAndARepeatIsReadBack) {
  const result first = request(1, "A1G", 2);
  EXPECT_EQ(first.a, (std::vector<float>{23, 43, 25, 45}));
  EXPECT_EQ(store_ir_index.label[0], "A1G                 ");
  EXPECT_EQ(record_lengths(), std::vector<uint32_t>{4 * (4 + 4)});
  float stored[8];  // matrix column by column, then both vectors
  std::memcpy(stored, unit_contents(store_unit).data() + 4, sizeof stored);
  EXPECT_EQ(std::vector<float>(stored, stored + 8),
            (std::vector<float>{23, 43, 25, 45, 100, 101, -1, -2}));
  const result again = request(1, "A1G", 2);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(again.a, first.a);
  EXPECT_EQ(again.v1, first.v1);
  EXPECT_EQ(again.v2, first.v2);
  EXPECT_EQ(unit_contents(6),
            " Data required for symmetry A1G                  state=  1   dimension         2\n"
            " Data calculated and stored on file98 record nr.    1\n"
            " Data required for symmetry A1G                  state=  1   dimension         2\n"
            " Data read from file 98 record nr.   1\n");
}

TEST_F(FindDataTest, LeadingDimensionLargerThanOrder) {
  EXPECT_EQ(request(1, "E", 2, 3).a, (std::vector<float>{23, 43, -1, 25, 45, -1}));
  EXPECT_EQ(record_lengths(), std::vector<uint32_t>{32});  // row 3 is not stored
  EXPECT_EQ(request(1, "E", 2, 3, -7.0f).a, (std::vector<float>{23, 43, -7, 25, 45, -7}));
  EXPECT_EQ(calls, 1);
}

TEST_F(FindDataTest, KeysAndClearedRecords) {
  request(1, "T1U", 2);
  request(2, "T1U", 2);  // same label, other state: another record
  request(2, "T1UX", 2);
  EXPECT_EQ(request(2, "T1U", 2).v1[0], 200.0f);
  EXPECT_EQ(last_line(), " Data read from file 98 record nr.   2");
  EXPECT_EQ(calls, 3);
  store_index.state[1] = 0;  // cleared: its data stay in the file but are never found
  request(2, "T1U", 2);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(last_line(), " Data calculated and stored on file98 record nr.    4");
  EXPECT_EQ(record_lengths().size(), 4u);
  EXPECT_EQ(request(2, "T1UX", 2).v1[0], 300.0f);  // records behind the hole are still found
}

TEST_F(FindDataTest, TheHundredAndFirstResultIsNotStored) {
  for (int k = 1; k <= maxix; ++k) request(1, "L" + std::to_string(k), 1);
  request(1, "L101", 1);
  EXPECT_EQ(store_index.count, maxix);
  EXPECT_EQ(record_lengths().size(), 100u);
  EXPECT_EQ(last_line(),
            " Maximum number of stored matrixes has been reached. Calculated matrix will not be "
            "stored. You may increase MAXIX.");
  request(1, "L101", 1);  // computed again
  EXPECT_EQ(calls, 102);
  request(1, "L100", 1);
  EXPECT_EQ(calls, 102);
  EXPECT_EQ(last_line(), " Data read from file 98 record nr. 100");
}

TEST_F(FindDataTest, NewRecordReplacesWhatFollowsTheIndex) {
  request(1, "A", 1);
  request(2, "B", 3);
  request(2, "C", 3);
  EXPECT_EQ(record_lengths(), (std::vector<uint32_t>{12, 60, 60}));
  store_index.count = 1;  // B and C dropped from the index, as between blocks
  request(2, "D", 2);
  EXPECT_EQ(record_lengths(), (std::vector<uint32_t>{12, 32}));
  request(2, "D", 2);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(last_line(), " Data read from file 98 record nr.   2");
}

TEST_F(FindDataTest, RecordOfAnotherSizeIsNotFound) {
  request(1, "A1G", 2);
  EXPECT_EQ(request(1, "A1G", 3).v1[0], 200.0f);  // same key, other dimension: computed
  EXPECT_EQ(record_lengths(), (std::vector<uint32_t>{32, 60}));
  EXPECT_EQ(request(1, "A1G", 3).v1[0], 200.0f);
  EXPECT_EQ(last_line(), " Data read from file 98 record nr.   2");
  EXPECT_EQ(request(1, "A1G", 2).v1[0], 100.0f);
  EXPECT_EQ(last_line(), " Data read from file 98 record nr.   1");
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace mv::test
