// Unit table: memory units, line ends, unformatted record framing and the
// truncation rule that the store files rely on, free-form numeric records,
// and the failures of files that cannot be written or are directories.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "io/listread.h"
#include "io/stop.h"
#include "io/units.h"

namespace mv {
namespace {

class Units : public ::testing::Test {
 protected:
  void TearDown() override { reset_units(); }
};

std::vector<std::string> lines_of(int32_t unit) {
  std::vector<std::string> out;
  std::string line;
  while (read_line(unit, line) == 0) out.push_back(line);
  return out;
}

TEST_F(Units, LineEndsLfCrLfAndLoneCrAndLastLineWithoutEnd) {
  attach_memory(50, "one\ntwo\r\nthree\rfour\n\nlast");
  EXPECT_EQ(lines_of(50), (std::vector<std::string>{"one", "two", "three", "four", "", "last"}));
  rewind_unit(50);
  std::string line;
  ASSERT_EQ(read_line(50, line), 0);
  EXPECT_EQ(line, "one");
}

TEST_F(Units, EmptyMemoryUnitIsAtEndOfFile) {
  attach_memory(15, "");
  std::string line = "x";
  EXPECT_EQ(read_line(15, line), -1);
}

// The line reader takes 136 columns of a line; whatever the line's length,
// what is kept is that head and a short excerpt of the first non-blank text
// cut off, so a line of megabytes (or one that never ends) does not fill memory.
TEST_F(Units, ReadingIntoAFieldKeepsTheHeadAndAGlimpseOfTheCut) {
  const std::string head(136, 'A');
  const std::string cut = "   DEL 3.0 " + std::string(5'000'000, 'x');
  attach_memory(50, head + cut + "\r\nshort\n" + head + std::string(300, ' ') + "\nlast");
  TextLine line;
  ASSERT_EQ(read_line(50, 136, line), 0);
  EXPECT_EQ(line.kept, head);
  EXPECT_EQ(line.length, static_cast<int64_t>(head.size() + cut.size()));
  EXPECT_EQ(line.number, 1);
  EXPECT_EQ(line.cut_column, 140);
  EXPECT_EQ(line.cut_excerpt, ("DEL 3.0 " + std::string(40, 'x')).substr(0, cut_excerpt_bytes));
  EXPECT_LE(line.kept.capacity() + line.cut_excerpt.capacity(), 1024u);

  ASSERT_EQ(read_line(50, 136, line), 0);
  EXPECT_EQ(line.kept, "short");
  EXPECT_EQ(line.number, 2);
  EXPECT_EQ(line.cut_column, 0);
  ASSERT_EQ(read_line(50, 136, line), 0);
  EXPECT_EQ(line.kept, head);
  EXPECT_EQ(line.length, 436);
  EXPECT_EQ(line.cut_column, 0);  // only blanks were cut
  ASSERT_EQ(read_line(50, 136, line), 0);
  EXPECT_EQ(line.kept, "last");
  EXPECT_EQ(read_line(50, 136, line), -1);

  rewind_unit(50);
  std::string whole;
  ASSERT_EQ(read_line(50, whole), 0);  // free-form records read whole lines
  EXPECT_EQ(whole, head + cut);
  ASSERT_EQ(read_line(50, 136, line), 0);
  EXPECT_EQ(line.number, 2);  // counted again from the rewind
}

TEST_F(Units, ALineBeyondTheLimitIsRefusedNotGathered) {
  std::string longest(static_cast<std::size_t>(max_line_bytes), 'x');
  attach_memory(15, longest + "\n" + longest + "y\n");
  TextLine line;
  ASSERT_EQ(read_line(15, 136, line), 0);
  EXPECT_EQ(line.length, max_line_bytes);
  try {
    read_line(15, 136, line);
    ADD_FAILURE() << "a line of more than max_line_bytes was read";
  } catch (const RunStop& s) {
    EXPECT_EQ(s.status, status_file);
    EXPECT_NE(s.text.find("line 2 of fort.15"), std::string::npos) << s.text;
  }
  // An endless stream without line ends: refused after the limit, whole-line
  // reading too.
  open_unit(50, "/dev/zero", true, Form::formatted);
  std::string whole;
  EXPECT_THROW(read_line(50, whole), RunStop);
}

TEST_F(Units, AFailedReadIsAFileFailureNotTheEndOfTheFile) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("morvex7_units_dir_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  open_unit(50, dir.string(), true, Form::formatted);  // opening a directory succeeds, reading fails
  TextLine line;
  try {
    read_line(50, 136, line);
    ADD_FAILURE() << "a directory read as an empty file";
  } catch (const RunStop& s) {
    EXPECT_EQ(s.status, status_file);
    EXPECT_EQ(s.text, "morvex7: cannot read " + dir.string() + ": Is a directory");
  }
  reset_units();
  std::filesystem::remove(dir);
}

TEST_F(Units, RecordsWrittenToMemoryEndWithLineFeeds) {
  attach_memory(44);
  write_record(44, "BAND 1");
  write_record(44, "");
  EXPECT_EQ(unit_contents(44), "BAND 1\n\n");
}

TEST_F(Units, UnformattedRecordsAreFramedByLittleEndianCounts) {
  attach_memory(98);
  const float v[2] = {1.0f, -2.5f};
  const int32_t k[1] = {7};
  uf_write(98, {uf_bytes(v, 2), uf_bytes(k, 1)});
  const std::string bytes = unit_contents(98);
  ASSERT_EQ(bytes.size(), 4u + 12u + 4u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x0c\0\0\0", 4));
  EXPECT_EQ(bytes.substr(16, 4), std::string("\x0c\0\0\0", 4));

  rewind_unit(98);
  EXPECT_EQ(uf_peek_length(98), 12);
  float w[2] = {};
  int32_t m = 0;
  ASSERT_EQ(uf_read(98, {uf_bytes_out(w, 2), uf_bytes_out(&m, 1)}), 0);
  EXPECT_EQ(w[0], 1.0f);
  EXPECT_EQ(w[1], -2.5f);
  EXPECT_EQ(m, 7);
  EXPECT_EQ(uf_read(98, {uf_bytes_out(w, 1)}), -1);
}

TEST_F(Units, ReadingLessThanARecordHoldsSkipsTheRestMoreIsAFailure) {
  attach_memory(99);
  const int32_t a[3] = {1, 2, 3}, b[1] = {4};
  uf_write(99, {uf_bytes(a, 3)});
  uf_write(99, {uf_bytes(b, 1)});
  rewind_unit(99);
  int32_t x = 0;
  ASSERT_EQ(uf_read(99, {uf_bytes_out(&x, 1)}), 0);
  EXPECT_EQ(x, 1);
  ASSERT_EQ(uf_read(99, {uf_bytes_out(&x, 1)}), 0);
  EXPECT_EQ(x, 4);
  rewind_unit(99);
  int32_t too_many[4];
  try {
    uf_read(99, {uf_bytes_out(too_many, 4)});
    FAIL() << "reading past the end of a record must fail";
  } catch (const RunStop& s) {
    EXPECT_NE(s.status, 0);
    EXPECT_NE(s.text.find("fort.99"), std::string::npos);
  }
}

TEST_F(Units, WritingAfterReadingMakesTheRecordTheLastOne) {
  attach_memory(98);
  const int32_t r1[1] = {1}, r2[2] = {2, 2}, r3[3] = {3, 3, 3};
  uf_write(98, {uf_bytes(r1, 1)});
  uf_write(98, {uf_bytes(r2, 2)});
  uf_write(98, {uf_bytes(r3, 3)});
  rewind_unit(98);
  ASSERT_EQ(uf_skip(98), 0);
  const int32_t fresh[1] = {9};
  uf_write(98, {uf_bytes(fresh, 1)});
  rewind_unit(98);
  ASSERT_EQ(uf_skip(98), 0);
  int32_t v = 0;
  ASSERT_EQ(uf_read(98, {uf_bytes_out(&v, 1)}), 0);
  EXPECT_EQ(v, 9);
  EXPECT_EQ(uf_skip(98), -1);
  EXPECT_EQ(unit_contents(98).size(), 2u * 12u);
}

TEST_F(Units, BrokenFrameIsAFileFailure) {
  attach_memory(99, std::string("\x08\0\0\0abcdefgh\x07\0\0\0", 16));
  EXPECT_THROW(uf_skip(99), RunStop);
  attach_memory(99, std::string("\x08\0\0\0abc", 7));
  EXPECT_THROW(uf_skip(99), RunStop);
}

TEST_F(Units, FilesOnDiskAndDefaultConnections) {
  const auto dir = std::filesystem::temp_directory_path() / "morvex7_units_test";
  std::filesystem::create_directories(dir);
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  std::filesystem::remove("FTN14");
  try {
    open_unit(14, "FTN14", true, Form::formatted);
    FAIL() << "a missing old file must fail";
  } catch (const RunStop& s) {
    EXPECT_EQ(s.status, status_file);
    EXPECT_NE(s.text.find("FTN14"), std::string::npos);
  }
  { std::ofstream("fort.45") << "stale contents that must go\n"; }
  write_record(45, "%END");
  flush_units();
  EXPECT_EQ(unit_contents(45), "%END\n");

  open_unit(98, "FTN98", false, Form::unformatted);
  const float x[1] = {3.0f};
  uf_write(98, {uf_bytes(x, 1)});
  rewind_unit(98);
  float y = 0.0f;
  ASSERT_EQ(uf_read(98, {uf_bytes_out(&y, 1)}), 0);
  EXPECT_EQ(y, 3.0f);
  reset_units();
  EXPECT_EQ(std::filesystem::file_size("FTN98"), 12u);
  std::filesystem::current_path(old);
  std::filesystem::remove_all(dir);
}

TEST_F(Units, FreeFormRecordsRunOverLinesAndSkipTheirRest) {
  attach_memory(14, "3 2\n  5 1.5,\n\n 7 -2e1 99 99\n4 1 2 0.25 /\n1 1 1 1\n");
  ListReader r(14);
  int32_t i = 0, n = 0, c1 = 0, c2 = 0;
  float v1 = 0, v2 = 0;
  ASSERT_EQ(r.read_int(i), 0);
  ASSERT_EQ(r.read_int(n), 0);
  ASSERT_EQ(r.read_int(c1), 0);
  ASSERT_EQ(r.read_real(v1), 0);
  ASSERT_EQ(r.read_int(c2), 0);
  ASSERT_EQ(r.read_real(v2), 0);
  EXPECT_EQ(i, 3);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(c1, 5);
  EXPECT_EQ(v1, 1.5f);
  EXPECT_EQ(c2, 7);
  EXPECT_EQ(v2, -20.0f);

  ListReader next(14);  // the 99 99 left on the last line are skipped
  ASSERT_EQ(next.read_int(i), 0);
  EXPECT_EQ(i, 4);
  ASSERT_EQ(next.read_int(n), 0);
  ASSERT_EQ(next.read_int(c1), 0);
  ASSERT_EQ(next.read_real(v1), 0);
  EXPECT_EQ(v1, 0.25f);
  c2 = -1;
  ASSERT_EQ(next.read_int(c2), 0);  // after '/', items keep their values
  EXPECT_EQ(c2, -1);
}

TEST_F(Units, FreeFormIntegerWrittenAsRealIsAnInputErrorAndEndOfFileFails) {
  attach_memory(14, "1.0 2\n");
  ListReader r(14);
  int32_t i = 0;
  EXPECT_GT(r.read_int(i), 0);
  attach_memory(14, "1 2\n");
  ListReader s(14);
  ASSERT_EQ(s.read_int(i), 0);
  ASSERT_EQ(s.read_int(i), 0);
  try {
    s.read_int(i);
    FAIL() << "end of file inside a record must fail";
  } catch (const RunStop& stop) {
    EXPECT_EQ(stop.status, status_file);
  }
}

// A scratch working directory for files on disk; the units are reset before
// it is left.
class UnitFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("morvex7_unit_files_" + std::to_string(::getpid()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    reset_units();
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static void full_device(const char* name) { std::filesystem::create_symlink("/dev/full", name); }

 private:
  std::filesystem::path dir_, old_;
};

// The message of the RunStop that `action` throws, with its status; fails the
// test when nothing is thrown.
template <class F>
RunStop stop_of(F action) {
  try {
    action();
  } catch (const RunStop& s) {
    return s;
  }
  ADD_FAILURE() << "a file-layer failure was expected";
  return {};
}

std::string on_disk(const char* name) {
  std::ifstream f(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST_F(UnitFiles, RecordsThatCannotBeWrittenFailAtTheFlushNamingTheFile) {
  full_device("fort.43");
  write_record(43, " 1  -1.5");  // stdio holds it: the device refuses it at the flush
  const RunStop s = stop_of([] { flush_units(); });
  EXPECT_EQ(s.status, status_file);
  EXPECT_NE(s.text.find("cannot write to fort.43"), std::string::npos) << s.text;
  EXPECT_NE(s.text.find("No space left"), std::string::npos) << s.text;
  EXPECT_TRUE(finish_units().empty()) << "a failure already reported is not reported again";
}

TEST_F(UnitFiles, TheFinalFlushReportsEveryUnitThatCannotTakeItsRecords) {
  full_device("fort.44");
  full_device("fort.62");
  write_record(43, "energies");
  write_record(44, "BAND 1");
  write_record(62, "yield");
  std::string lines;
  for (const RunStop& s : finish_units()) {
    EXPECT_EQ(s.status, status_file);
    EXPECT_FALSE(s.stop_word);
    lines += s.text + "\n";
  }
  EXPECT_EQ(lines,
            "morvex7: cannot write to fort.44: No space left on device\n"
            "morvex7: cannot write to fort.62: No space left on device\n");
  EXPECT_EQ(on_disk("fort.43"), "energies\n");
}

TEST_F(UnitFiles, AStoreRecordThatCannotBeKeptFailsWhereItIsWritten) {
  full_device("FTN98");
  open_unit(98, "FTN98", false, Form::unformatted);
  const float small[3] = {1.0f, 2.0f, 3.0f};  // far less than stdio's buffer
  const RunStop s = stop_of([&] { uf_write(98, {uf_bytes(small, 3)}); });
  EXPECT_EQ(s.status, status_file);
  EXPECT_NE(s.text.find("cannot write to FTN98"), std::string::npos) << s.text;
}

TEST_F(UnitFiles, ADirectoryFailsAtOpenOrAtItsFirstReadNamingIt) {
  for (const char* name : {"FTN15", "FTN98", "fort.50"}) std::filesystem::create_directory(name);
  const RunStop store = stop_of([] { open_unit(98, "FTN98", false, Form::unformatted); });
  EXPECT_EQ(store.status, status_file);
  EXPECT_EQ(store.text, "morvex7: cannot open FTN98: Is a directory");

  open_unit(15, "FTN15", true, Form::formatted);  // a directory opens for reading
  std::string line;
  const RunStop recipes = stop_of([&] { read_line(15, line); });
  EXPECT_EQ(recipes.text, "morvex7: cannot read FTN15: Is a directory");
  const RunStop command = stop_of([&] { read_line(50, line); });  // connected on first use
  EXPECT_EQ(command.status, status_file);
  EXPECT_EQ(command.text, "morvex7: cannot read fort.50: Is a directory");
}

}  // namespace
}  // namespace mv
