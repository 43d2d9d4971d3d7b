// Whole runs on a damaged or foreign coefficient store file (FTN99) and on a
// recipe header whose dimension no work array can hold: each ends with a
// message that names the file at fault and a non-zero status, never with a
// crash or a normal end with wrong spectra.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// One ground and one excited configuration of `mult` states each, every
// operator a full matrix, so each row of the stored blocks has mult columns.
mw::Model full_model(int mult) {
  mw::Model m;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.mult = {mult, 0, 0};
  m.excited.label = "T1U";
  m.excited.mult = {mult, 0, 0};
  mw::Matrix h = mw::zeros(mult, mult), t = mw::zeros(mult, mult);
  for (int i = 1; i <= mult; ++i) {
    for (int j = 1; j <= mult; ++j) {
      h.at(i, j) = i == j ? 0.5f * i : 0.25f / static_cast<float>(i + j);
      t.at(i, j) = 1.0f / static_cast<float>(i + 2 * j);
    }
  }
  m.ground.ham[0] = {{h, 1.0f}};
  m.excited.ham[0] = {{h, 1.0f}};
  m.trans[0][0] = {{t, 1.0f}};
  return m;
}

std::string command_file(const mw::Model& m, bool oldcowan) {
  return mw::command_lines(m) + "N2 1 N3 1 W 0 DIP 1\n" + (oldcowan ? "OLDCOWAN\n" : "") +
         "TRIADS\n" + mw::triad_line(m) + "\nENDTRIADS\n";
}

void put_model(const RunDir& dir, const mw::Model& m, bool oldcowan) {
  const mw::Files f = mw::write_model(m);
  dir.put("FTN14", f.ftn14);
  dir.put("FTN15", f.ftn15);
  dir.put("fort.50", command_file(m, oldcowan));
}

// Byte offsets of the data of every record of an unformatted file.
std::vector<std::size_t> record_starts(const std::string& file) {
  std::vector<std::size_t> starts;
  std::size_t at = 0;
  while (at + 8 <= file.size()) {
    uint32_t bytes = 0;
    std::memcpy(&bytes, file.data() + at, 4);
    starts.push_back(at + 4);
    at += 8 + bytes;
  }
  return starts;
}

// FTN99 of a first run with one column number in the middle of a stored row
// replaced: the columns record of matrix 1 (record 4) holds 1, 2, 3 first.
std::string with_middle_column(const std::string& ftn99, int32_t column) {
  const std::vector<std::size_t> starts = record_starts(ftn99);
  std::string damaged = ftn99;
  EXPECT_GE(starts.size(), 5u);
  if (starts.size() < 5) return damaged;
  int32_t first[3] = {};
  std::memcpy(first, ftn99.data() + starts[3], sizeof first);
  EXPECT_EQ(std::vector<int32_t>(first, first + 3), (std::vector<int32_t>{1, 2, 3}));
  std::memcpy(damaged.data() + starts[3] + 4, &column, 4);
  return damaged;
}

TEST(StoreFaults, DamagedColumnsInTheStoreFileAreRefusedNamingIt) {
  RunDir dir("store_columns");
  put_model(dir, full_model(3), false);
  const RunResult first = dir.run();
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string ftn99 = dir.get("FTN99"), fort44 = dir.get("fort.44");

  // The undamaged store file read back gives the same spectra, and no notice.
  dir.put("fort.50", command_file(full_model(3), true));
  const RunResult again = dir.run();
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err, first.err);
  auto results = [](const std::string& f44) { return f44.substr(f44.find(" Ground state")); };
  EXPECT_EQ(results(dir.get("fort.44")), results(fort44));

  // Beyond the 3 columns (written past the row buffer), far outside the work
  // array, negative, and the largest 4-byte integer.
  for (const int32_t column : {1000, 9999999, 100000000, -8388608, 2147483647}) {
    SCOPED_TRACE(column);
    dir.put("FTN99", with_middle_column(ftn99, column));
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("morvex7: Coefficient store file FTN99 (unit 99) refused: row 1 of "
                         "matrix 1 has column"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(line_with(r.out, "Normal end"), "");
  }
}

// A store file left by a smaller model: the recipe fault it causes names
// FTN99 and OLDCOWAN, and a notice on the error stream says that FTN99 is
// older than FTN14. Standard output gets no notice.
TEST(StoreFaults, StoreFileOfAnotherModelIsNamedAsTheLikelyCause) {
  RunDir dir("store_foreign");
  put_model(dir, full_model(2), false);
  ASSERT_EQ(dir.run().status, 0);
  put_model(dir, full_model(3), true);
  fs::last_write_time(dir.path() + "/FTN99",
                      fs::last_write_time(dir.path() + "/FTN14") - std::chrono::hours(1));
  const RunResult r = dir.run();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("The coefficient blocks were read from FTN99 (OLDCOWAN): FTN99 was probably "
                       "written for another model or from an older FTN14."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err,
            "morvex7: notice: FTN99 is older than FTN14: with OLDCOWAN the coefficient blocks are "
            "read from FTN99, which may have been written from an earlier FTN14 or for another "
            "model.\n"
            "STOP quitprog: see output\n");
  EXPECT_EQ(r.out.find("notice"), std::string::npos);
}

// A recipe header whose row count n makes 3n leave the 4-byte range.
TEST(StoreFaults, RecipeHeaderDimensionBeyondAnyWorkArrayStopsTheRun) {
  RunDir dir("recipe_overflow");
  const mw::Model m = full_model(3);
  put_model(dir, m, false);
  std::istringstream in(mw::write_model(m).ftn15);
  std::string ftn15, line;
  bool done = false;
  while (std::getline(in, line)) {
    if (!done && line.find("REDUCEDMATRIX") != std::string::npos) {
      // ... end-label dim_bra dim_ket: the bra dimension becomes 715827883.
      const std::size_t ket = line.find_last_not_of(' ');
      const std::size_t gap = line.find_last_of(' ', line.find_last_of(' ', ket) - 1);
      const std::size_t bra_end = line.find_last_of(' ', ket);
      line = line.substr(0, gap + 1) + "715827883" + line.substr(bra_end);
      done = true;
    }
    ftn15 += line + "\n";
  }
  ASSERT_TRUE(done);
  dir.put("FTN15", ftn15);
  const RunResult r = dir.run();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("Recipe header gives the dimensions 715827883 x 3"), std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace e2e
