// The line reader: tokens, comments, columns, conversion and echo, number
// readers, checks, position reports, warnings and the ends of file.
#include "command_fixture.h"
#include "io/notice.h"
#include "io/numedit.h"

namespace mv::test {
namespace {

using ReaderTest = CommandTest;
std::string tok(std::string_view w) { return padded(w, token_length); }

TEST_F(ReaderTest, TokensCommentsColumnsAndTabs) {
  const std::string ends_at_136 = std::string(131, ' ') + "ABCDE";
  const std::string runs_past = std::string(129, ' ') + "FGHIJKLMNOP";
  commands("nconf 2 1 % two configurations\n\n   \nw a%b c%\n%whole line\n" + ends_at_136 + "\n" +
           runs_past + "\r\nA\tB C\rold_ground n_2 1_000\n");
  const char* expected[] = {"NCONF",   "2",    "1", "W",         "A%B", "C%",  "ABCDE",
                            "FGHIJKL", "A\tB", "C", "OLDGROUND", "N2",  "1000"};
  std::string notices;
  capture_notices(&notices);
  for (const char* w : expected) EXPECT_EQ(chaget(), tok(w));
  EXPECT_EQ(notices,
            "morvex7: notice: fort.50 line 7 has 140 columns; only the first 136 are read, "
            "ignored from column 137: \"MNOP\"\n");
  EXPECT_EQ(inline_.line_count, 9);
  const auto echo = echo_records();
  ASSERT_EQ(echo.size(), 9u);
  EXPECT_EQ(echo[0], padded(" NCONF 2 1 % TWO CONFIGURATIONS", 80));
  EXPECT_EQ(echo[1], std::string(80, ' '));
  EXPECT_EQ(echo[5], std::string(80, ' '));  // only 79 columns are echoed
  EXPECT_EQ(comwarn.count, 0);
}

TEST_F(ReaderTest, WordsLongerThanTwentyCharactersAreCut) {
  commands("ABCDEFGHIJKLMNOPQRST ABCDEFGHIJKLMNOPQRSTUVW NEXT\n");
  EXPECT_EQ(chaget(), "ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(comwarn.count, 0);
  EXPECT_EQ(chaget(), "ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(comwarn.count, 3);
  const auto out = log_records();
  EXPECT_EQ(std::count(out.begin(), out.end(), " string longer than 20 characters is not allowed"),
            3);
  EXPECT_EQ(out.back(), " ***** number of warnings is            3  *****");
  EXPECT_EQ(chaget(), tok("NEXT"));
}

TEST_F(ReaderTest, OtherUnitsKeepCaseAndAreNotEchoed) {
  commands("FIRST REST\nSECOND\n");
  EXPECT_EQ(chaget(), tok("FIRST"));
  attach_memory(15, "irrep a_1g\n");
  newfil(15);
  EXPECT_EQ(chline.line, std::string(136, ' '));
  EXPECT_EQ(chaget(), tok("irrep"));
  EXPECT_EQ(chaget(), tok("a_1g"));
  newfil(command_unit);
  EXPECT_EQ(chaget(), tok("SECOND"));  // the rest of the first line is lost
  EXPECT_EQ(inline_.line_count, 1);
  EXPECT_EQ(echo_records().size(), 2u);
  std::string text = "old_ground x_y_";
  uppercase(text, 11);  // only the first 11 characters take part
  EXPECT_EQ(text, "OLDGROUND  x_y_");
}

TEST_F(ReaderTest, NumberAndCheckingReaders) {
  status("getmul");
  commands("12 +12 -3 1.5 8 7 2E3 x MULT MULX 4 5 7\n");
  int32_t i = 99;
  float r = 99.0f;
  for (int32_t want : {12, 12, -3, 0, 8}) EXPECT_EQ(intget(i), want);  // 1.5: error, value 0
  for (float want : {7.0f, 2000.0f, 0.0f}) EXPECT_EQ(reaget(r), want);
  EXPECT_EQ(comwarn.count, 2);
  attach_memory(6);
  chckch("MULT");
  chckch("MULT");
  int32_t d = 0;
  chckin(d);  // 0 accepts any value and takes it
  chckin(d);
  d = 7;
  chckin(d);
  EXPECT_EQ(d, 7);
  EXPECT_EQ(comwarn.count, 4);
  const auto out = log_records();
  EXPECT_EQ(out[0], " expected: MULT, got:MULX                 in:");
  EXPECT_EQ(out[1], " routine=getmul               file= 50 line=     1 col= 34 =>");
  EXPECT_EQ(out[2], " 12 +12 -3 1.5 8 7 2E3 X MULT MULX<< 4 5 7");
  EXPECT_EQ(out[4], " expected:            4 , got:           5  in:");
}

TEST_F(ReaderTest, InputErrorReportCarriesTheEditingCode) {
  commands("1.5\n");
  int32_t i = 0;
  intget(i);
  const std::string code = std::to_string(ioerr_bad_value);
  EXPECT_EQ(log_records()[0], " IO error nr " + std::string(12 - code.size(), ' ') + code +
                                  "  encountered in INTGET  at:");
}

// Fortran would read NaN and infinity (and take 1E39 as infinity), and the
// run would end normally with NaN energies; a decimal comma would end the
// field and read 1,5 as 1. The reader refuses all of them like any
// unreadable number: report, warning, value 0.
TEST_F(ReaderTest, NonFiniteRealsAndDecimalCommasAreInputErrors) {
  commands("NaN inf -Infinity 1e39 -1E39 nan(q) 1,5 3E38 1,5 7\n");
  float r = 99.0f;
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(reaget(r), 0.0f);
    EXPECT_EQ(r, 0.0f);
  }
  EXPECT_EQ(reaget(r), 0.0f);
  EXPECT_EQ(reaget(r), 3.0e38f);
  int32_t i = 99;
  EXPECT_EQ(intget(i), 0);
  EXPECT_EQ(intget(i), 7);
  EXPECT_EQ(comwarn.count, 8);
  const auto out = log_records();
  const std::string not_finite = std::to_string(ioerr_not_finite);
  const std::string bad = std::to_string(ioerr_bad_value);
  EXPECT_EQ(out[0], " IO error nr " + std::string(12 - not_finite.size(), ' ') + not_finite +
                        "  encountered in REAGET  at:");
  EXPECT_EQ(out[1], " routine=                     file= 50 line=     1 col=  4 =>");
  EXPECT_EQ(out[2], " NAN<< INF -INFINITY 1E39 -1E39 NAN(Q) 1,5 3E38 1,5 7");
  EXPECT_EQ(out[6 * 4], " IO error nr " + std::string(12 - bad.size(), ' ') + bad +
                            "  encountered in REAGET  at:");
  EXPECT_EQ(out[7 * 4], " IO error nr " + std::string(12 - bad.size(), ' ') + bad +
                            "  encountered in INTGET  at:");
}

// A command line is read up to column 136, as in Fortran. A parameter written
// past it is never set, so the user gets a notice on the error stream naming
// the line and the text; the log does not change. Blank tails, and lines of
// the other files, give none.
TEST_F(ReaderTest, TextPastColumn136OfACommandLineGivesANotice) {
  const std::string w_then_del = "W 2.0" + std::string(135, ' ') + "DEL 3.0  ";
  const std::string blank_tail = "N2 4" + std::string(200, ' ');
  const std::string binary_tail = std::string(136, '%') + std::string("\t\x01") + "x";
  const std::string long_tail = std::string(136, '%') + std::string(60, 'z');
  commands("NCONF 1 1\n" + w_then_del + "\n" + blank_tail + "\r\n" + binary_tail + "\n" +
           long_tail + "\nTRIADS\n");
  std::string notices;
  capture_notices(&notices);
  std::vector<std::string> words;
  for (;;) {
    words.push_back(std::string(trimmed(chaget())));
    if (words.back() == "TRIADS") break;
  }
  attach_memory(15, std::string(130, ' ') + "abcdef b\n");
  newfil(15);
  chaget();
  capture_notices(nullptr);
  EXPECT_EQ(words, (std::vector<std::string>{"NCONF", "1", "1", "W", "2.0", "N2", "4", "TRIADS"}));
  EXPECT_EQ(notices,
            "morvex7: notice: fort.50 line 2 has 149 columns; only the first 136 are read, "
            "ignored from column 141: \"DEL 3.0\"\n"
            "morvex7: notice: fort.50 line 4 has 139 columns; only the first 136 are read, "
            "ignored from column 137: \"\\x09\\x01x\"\n"
            "morvex7: notice: fort.50 line 5 has 196 columns; only the first 136 are read, "
            "ignored from column 137: \"" +
                std::string(cut_excerpt_bytes, 'z') + "...\"\n");
  EXPECT_EQ(comwarn.count, 0);
  EXPECT_EQ(log(), "");
}

TEST_F(ReaderTest, PositionReportLayout) {
  status("getact");
  std::string full = "XXXX";
  for (int k = 0; k < 26; ++k) full += " XXXX";
  full += " Z";  // ends in column 136
  commands("W 2.0 DELX 1\nA\n" + full + "\n");
  for (int k = 0; k < 3; ++k) chaget();
  putinp();
  EXPECT_EQ(log_records(), (std::vector<std::string>{
                               " routine=getact               file= 50 line=     1 col= 11 =>",
                               " W 2.0 DELX<< 1"}));
  attach_memory(6);
  chaget();
  chaget();
  putinp();
  EXPECT_EQ(log_records()[1], " A<<");  // nothing to show after the marker
  attach_memory(6);
  while (trimmed(chaget()) != "Z") {
  }
  putinp();  // line used up: all 136 columns precede the marker, 80 to a record
  EXPECT_EQ(log_records(), (std::vector<std::string>{
                               " routine=getact               file= 50 line=     3 col=137 =>",
                               " " + full.substr(0, 80), " " + full.substr(80) + "<<"}));
}

TEST_F(ReaderTest, TheEleventhWarningStopsTheRun) {
  commands("");
  EXPECT_NO_THROW(warn(0));
  for (int k = 1; k <= 10; ++k) warn(10);
  EXPECT_EQ(log_records().back(), " ***** number of warnings is           10  *****");
  const RunStop s = stop_of([] { warn(10); });
  EXPECT_EQ(s.text, "quitprog: see output");
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_EQ(log_records().back(), " TOO MANY WARNINGS");
  comwarn.count = 1;  // one earlier warning makes the limit-0 check fatal
  attach_memory(6);
  EXPECT_EQ(stop_of([] { warn(0); }).text, "quitprog: see output");
  EXPECT_EQ(log_records(), std::vector<std::string>{" TOO MANY WARNINGS"});
}

TEST_F(ReaderTest, EndOfFile) {
  commands("NCONF 1\n");
  chaget();
  chaget();
  RunStop s = stop_of([] { chaget(); });
  EXPECT_EQ(s.text, "Normal end because of end of file on input");
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(echo_records(), (std::vector<std::string>{padded(" NCONF 1", 80), " FINISHED"}));

  attach_memory(6);
  status("getmul");
  attach_memory(15, "IRREP\n");
  newfil(15);
  chaget();
  s = stop_of([] { chaget(); });
  EXPECT_EQ(s.text, "quitprog: see output");
  EXPECT_EQ(s.status, status_fatal);
  EXPECT_EQ(log_records(), (std::vector<std::string>{
                               " End of file encountered in NEWLIN  at:",
                               " routine=getmul               file= 15 line=     1 col=137 =>",
                               padded(" IRREP", 81), std::string(57, ' ') + "<<",
                               " ***** number of warnings is            1  *****",
                               " quitprog because of unwanted end of file"}));
}

}  // namespace
}  // namespace mv::test
