// Loading the coefficient store from the coefficient file and from the store
// file, and refusing store files that do not belong to the run.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "coef_testing.h"
#include "coefficients/cowan.h"
#include "io/format.h"
#include "io/notice.h"

namespace mv::testing {
namespace {

// Rows listed out of order (2, 1, 3), row 2 over two lines, foreign words
// around the matrices, a matrix without elements, sizes on their own line.
const char* const two_sections =
    " some coupling program text 12 3.5\n"
    "RME A B C D E 3 4 5\n"
    " 2 2  1 0.5\n"
    "   3 -1.25\n"
    " 1 1  4 2.0\n"
    " 3 2 1 7.0 2 8.0\n"
    " more words\n"
    "RME A B C D E\n"
    " 2 2 0\n"
    "RME a b c d e 1 1 1\n"
    " 1 1 1 9.5\n"
    " FINISHED\n"
    "RME x x x x x 1 1 1\n"
    " 1 1 1 3.0\n"
    " FINISHED\n";

const Dense first_matrix = {{0, 0, 0, 2.0f}, {0.5f, 0, -1.25f, 0}, {7.0f, 8.0f, 0, 0}};

using Cowan = CoefficientTest;

TEST_F(Cowan, ReadsOneSectionPerLoadSkippingForeignText) {
  attach_memory(14, two_sections);
  newfil(14);
  cowan();
  EXPECT_EQ(cowan_store.nmat, 3);
  EXPECT_EQ(stored(1, 3, 4), first_matrix);
  EXPECT_EQ(stored(2, 2, 2), Dense(2, std::vector<float>(2, 0.0f)));
  EXPECT_EQ(stored(3, 1, 1), Dense{{9.5f}});
  EXPECT_TRUE(has_record(6, " In store:         3 matrixes."));
  EXPECT_TRUE(has_record(6, " Total matrix size           17  with            6  elements"));
  EXPECT_EQ(records(6).back(), "  Cowan store written to file 99.");

  // The next load of the calculation reads the next section.
  newfil(14);
  cowan();
  EXPECT_EQ(cowan_store.nmat, 1);
  EXPECT_EQ(stored(1, 1, 1), Dense{{3.0f}});
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(Cowan, RowIndexOfSparselyListedRows) {
  // Rows 7 and 3 of 10 only; then a matrix whose two records hold fewer
  // elements than its header's count.
  attach_memory(14,
                "RME a b c d e 10 5 2\n"
                " 7 1 5 1.5\n"
                " 3 1 2 -2.0\n"
                "RME a b c d e 2 3 5\n"
                " 1 1 1 4.0\n"
                " 2 1 2 5.0\n"
                "FINISHED\n");
  newfil(14);
  cowan();
  ASSERT_EQ(cowan_store.nmat, 2);
  const int32_t p = indx.pos[0];
  const int32_t col_base = p + 30, val_base = p + 32;  // allocated in this order after the index
  const int32_t* index = ih(p);
  for (int32_t i = 1; i <= 10; ++i) {
    const int32_t* row = index + 3 * (i - 1);
    if (i == 7) {
      EXPECT_EQ(row[0], val_base);
      EXPECT_EQ(row[1], col_base);
      EXPECT_EQ(row[2], 1);
    } else if (i == 3) {
      EXPECT_EQ(row[0], val_base + 1);
      EXPECT_EQ(row[1], col_base + 1);
      EXPECT_EQ(row[2], 1);
    } else {
      EXPECT_EQ(row[0], val_base) << "row " << i;
      EXPECT_EQ(row[1], col_base) << "row " << i;
      EXPECT_EQ(row[2], 0) << "row " << i;
    }
  }
  EXPECT_EQ(*rh(val_base), 1.5f);
  EXPECT_EQ(*ih(col_base + 1), 2);
  EXPECT_EQ(stored(2, 2, 3), (Dense{{4.0f, 0, 0}, {0, 5.0f, 0}}));
  EXPECT_EQ(ih(indx.pos[1])[2], 1);
  EXPECT_EQ(ih(indx.pos[1])[5], 1);
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(Cowan, StoreFileGivesTheSameMatricesAtNewPositions) {
  std::string first_section(two_sections);
  first_section.resize(first_section.find("FINISHED") + 9);
  attach_memory(14, first_section);
  newfil(14);
  cowan();
  const int32_t old_pos = indx.pos[0];
  const std::string file = unit_contents(99);
  EXPECT_EQ(file.substr(0, 16 + 32), framed({6, 3}) + framed({5, 3, 0, 2, 1, 1}));

  int32_t pad = 0;
  alloc("shift", 17, pad);
  qaz.oldcowan = 1;
  rewind_unit(99);
  attach_memory(6);
  cowan();
  EXPECT_EQ(records(6), (std::vector<std::string>{" Cowan store will be read from file 99.",
                                                  " Total length =           6",
                                                  " Number of matrixes  =    3"}));
  EXPECT_NE(indx.pos[0], old_pos);
  EXPECT_EQ(cowan_store.nmat, 3);
  EXPECT_EQ(stored(1, 3, 4), first_matrix);
  EXPECT_EQ(stored(2, 2, 2), Dense(2, std::vector<float>(2, 0.0f)));
  EXPECT_EQ(stored(3, 1, 1), Dense{{9.5f}});
}

TEST_F(Cowan, SectionWithoutMatricesStillWritesItsTwoRecords) {
  attach_memory(14, " nothing here\n FINISHED\n");
  newfil(14);
  cowan();
  EXPECT_EQ(cowan_store.nmat, 0);
  EXPECT_TRUE(has_record(6, " In store:         0 matrixes."));
  EXPECT_EQ(unit_contents(99), framed({0, 0}) + framed({}));
}

TEST_F(Cowan, BadRowRecordsWarnAndTheLoadGoesOn) {
  attach_memory(14,
                "RME a b c d e 2 2 3\n"
                " 1 2 1 1.0 2 x.5\n"  // wrong characters
                " 2 1 1 4.0\n"
                "RME a b c d e 2 2 2\n"
                " 1 2 2 1.0 1 2.0\n"  // columns descending
                "RME a b c d e 2 2 1\n"
                " 5 1 1 1.0\n"  // row beyond the matrix
                "RME a b c d e 1 1 1\n"
                " 1 1 1 6.0\n"
                "FINISHED\n");
  newfil(14);
  cowan();
  EXPECT_EQ(comwarn.count, 3);
  ASSERT_EQ(cowan_store.nmat, 4);
  for (int32_t m = 1; m <= 3; ++m) {
    EXPECT_EQ(ih(indx.pos[m - 1])[2], 0) << "matrix " << m;
    EXPECT_EQ(ih(indx.pos[m - 1])[5], 0) << "matrix " << m;
  }
  EXPECT_EQ(stored(4, 1, 1), Dense{{6.0f}});
  EXPECT_TRUE(has_record(
      6,
      " A read error occurred on file 14. The numbers are not in the rigth order or wrong "
      "characters are present. The error occurred in the matrix after the following position:"));
  EXPECT_TRUE(output_contains(" routine=COWAN at begin loop"));
}

// Row records written with repeat counts, null values and '/' (as some
// compilers' list-directed output has them) give the same matrix as the plain
// records; a null row count keeps the previous record's count.
TEST_F(Cowan, RowRecordsReadAsFortranReadsThemFreeForm) {
  const Dense want = {{1.0f, 0, 0}, {0, 0.5f, 0.5f}, {2.0f, 0, 2.0f}};
  for (const char* rows : {" 1 1 1 1.0\n 2 2 2 0.5 3 0.5\n 3 2 1 2.0 3 2.0\n",
                           " 3*1 1.0\n 3*2 0.5 3 .5\n 3,,1 2. 3 2*2.0 / 9 9\n"}) {
    SetUp();
    attach_memory(14, std::string("RME a b c d e 3 3 5\n") + rows + "FINISHED\n");
    newfil(14);
    cowan();
    EXPECT_EQ(stored(1, 3, 3), want) << rows;
    EXPECT_EQ(comwarn.count, 0) << rows;
  }
  // A column that a record leaves out stays 0: out of order, a read error.
  SetUp();
  attach_memory(14, "RME a b c d e 1 3 2\n 1 2 1 1.0 /\n FINISHED\n");
  newfil(14);
  cowan();
  EXPECT_EQ(comwarn.count, 1);
}

TEST_F(Cowan, CapacityLimitsStopTheLoad) {
  std::string text;
  for (int m = 0; m < 1001; ++m) text += "RME a b c d e 0 0 0\n";
  text += "FINISHED\n";
  attach_memory(14, text);
  newfil(14);
  const RunStop s = stop_of([] { cowan(); });
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_EQ(s.text, "quitprog: see output");
  const FmtItem items[] = {
      fmt_item("Increase parameter "), fmt_item("LINDX"), fmt_item(" from "),
      fmt_item(int32_t{1000}),         fmt_item(" to "),  fmt_item(int32_t{1001})};
  EXPECT_TRUE(has_record(6, list_line(items)));
  EXPECT_TRUE(has_record(6, " Increase dimension. See output."));

  // An element count that no work array holds stops at the size check (the
  // load's 4-byte totals wrap on the way, they never trap).
  SetUp();
  attach_memory(14,
                "RME a b c d e 2 3 6\n 1 3 1 1.0 2 2.0 3 3.0\n 2 3 1 4.0 2 5.0 3 6.0\n"
                "RME a b c d e 65536 65536 2147483647\nFINISHED\n");
  newfil(14);
  EXPECT_EQ(stop_of([] { cowan(); }).status, status_fatal);
  EXPECT_TRUE(output_contains("Increase parameter lheap"));
}

// A hand-made section of one 2 x 2 matrix, written where its arrays stood at
// cells 105 (columns) and 107 (values).
struct StoreParts {
  std::vector<int32_t> head = {2, 1}, counts = {2, 2}, index = {107, 105, 1, 108, 106, 1},
                       cols = {1, 2};
  std::vector<float> values = {1.5f, -2.5f};
  std::string bytes() const {
    return framed(head) + framed(counts) + framed(index) + framed(cols) + framed_reals(values);
  }
};

TEST_F(Cowan, RefusesAStoreFileThatDoesNotMatchItsCounts) {
  qaz.oldcowan = 1;
  attach_memory(99, StoreParts{}.bytes());
  cowan();
  EXPECT_EQ(stored(1, 2, 2), (Dense{{1.5f, 0}, {0, -2.5f}}));

  auto refused = [](const std::string& bytes, const std::string& why) {
    reset_heap();
    qaz.oldcowan = 1;
    attach_memory(99, bytes);
    const RunStop s = stop_of([] { cowan(); });
    EXPECT_EQ(s.status, status_file) << why;
    EXPECT_NE(s.text.find("99"), std::string::npos) << why << ": " << s.text;
  };
  StoreParts p;
  p.head = {3, 1};
  refused(p.bytes(), "total does not match the counts");
  p = {};
  p.head = {2, 1001};
  refused(p.bytes(), "more than 1000 matrices");
  p = {};
  p.head = {0, 1};
  p.counts = {-1, 1};
  refused(p.bytes(), "negative element count");
  p = {};
  p.values = {1.5f};
  refused(p.bytes(), "value record shorter than its count");
  p = {};
  p.counts = {2, 2, 0};
  refused(p.bytes(), "count record longer than the matrices");
  p = {};
  p.index = {107, 105, 1, 109, 107, 1};
  refused(p.bytes(), "row outside the element arrays");
  p = {};
  p.index = {107, 105, 1, 108, 105, 1};
  refused(p.bytes(), "value and column offsets disagree");
  refused(std::string(), "end of file: more loads than sections");
  refused(StoreParts{}.bytes().substr(0, 30), "file cut inside a section");
}

// A section of one 1 x 3 row written at cells 200 (columns) and 210 (values);
// each bad column once in the middle of the row and once at its end. A
// column out of order used to reach the builder unchecked (only a row's first
// and last were compared with the result), and wrote outside the row buffer.
TEST_F(Cowan, RefusesStoredColumnsThatDoNotAscendFromOne) {
  auto section = [](std::vector<int32_t> cols) {
    StoreParts p;
    p.head = {3, 1};
    p.counts = {3, 1};
    p.index = {210, 200, 3};
    p.cols = std::move(cols);
    p.values = {1.0f, 2.0f, 3.0f};
    return p.bytes();
  };
  qaz.oldcowan = 1;
  attach_memory(99, section({1, 2, 3}));
  cowan();
  EXPECT_EQ(stored(1, 1, 3), (Dense{{1.0f, 2.0f, 3.0f}}));

  for (const int32_t bad : {-8388608, 100000000, 9999999, 1000, 2147483647, 0}) {
    for (const std::vector<int32_t>& cols :
         {std::vector<int32_t>{1, bad, 3}, std::vector<int32_t>{bad, 2, 3}}) {
      SCOPED_TRACE(::testing::Message() << cols[0] << " " << cols[1] << " " << cols[2]);
      reset_heap();
      qaz.oldcowan = 1;
      attach_memory(99, section(cols));
      const RunStop s = stop_of([] { cowan(); });
      EXPECT_EQ(s.status, status_file);
      EXPECT_NE(s.text.find("FTN99"), std::string::npos) << s.text;
      EXPECT_NE(s.text.find("row 1 of matrix 1 has column"), std::string::npos) << s.text;
    }
  }
  // Beyond any column the work array can hold, also as the last one.
  reset_heap();
  qaz.oldcowan = 1;
  attach_memory(99, section({1, 2, 2147483647}));
  EXPECT_EQ(stop_of([] { cowan(); }).status, status_file);
}

// Counts are checked against the records before any array is taken from the
// work array: a row count that no work array holds is a damaged file, not a
// model too large.
TEST_F(Cowan, StoredCountsAreCheckedBeforeTheyAreAllocated) {
  for (const int32_t rows : {715827883, 2147483647}) {
    StoreParts p;
    p.head = {2, 1};
    p.counts = {2, rows};
    reset_heap();
    qaz.oldcowan = 1;
    attach_memory(99, p.bytes());
    const RunStop s = stop_of([] { cowan(); });
    EXPECT_EQ(s.status, status_file) << rows;
    EXPECT_NE(s.text.find("the row index of matrix 1"), std::string::npos) << s.text;
    EXPECT_EQ(heap_info.top, 0);
  }
}

// A store file older than the coefficient file may hold another model's
// blocks: the run's first read of it says so on the error stream, once, and
// not when the run wrote the store file itself.
TEST_F(Cowan, NoticeWhenTheStoreFileIsOlderThanTheCoefficientFile) {
  namespace fs = std::filesystem;
  const fs::path home = fs::current_path();
  const fs::path dir = fs::temp_directory_path() / ("mv_store_age_" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  std::ofstream("FTN14") << "FINISHED\n";
  std::ofstream("FTN99") << "";
  const fs::file_time_type now = fs::last_write_time("FTN14");
  std::string notices;
  capture_notices(&notices);
  auto load = [] {
    rewind_unit(99);
    cowan();
  };

  fs::last_write_time("FTN99", now - std::chrono::hours(1));
  qaz.oldcowan = 1;
  attach_memory(99, StoreParts{}.bytes());
  load();
  load();
  EXPECT_EQ(notices,
            "morvex7: notice: FTN99 is older than FTN14: with OLDCOWAN the coefficient blocks are "
            "read from FTN99, which may have been written from an earlier FTN14 or for another "
            "model.\n");
  EXPECT_FALSE(output_contains("notice"));  // nothing on standard output

  notices.clear();
  cowan_store = {};
  cowan_store.store_written = true;
  load();
  EXPECT_EQ(notices, "");
  cowan_store = {};
  fs::last_write_time("FTN99", now + std::chrono::hours(1));
  load();
  EXPECT_EQ(notices, "");

  capture_notices(nullptr);
  fs::current_path(home);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace mv::testing
