// The row records of the coefficient file are read free-form, as Fortran
// reads them: a file written with repeat counts, commas and '/' (as some
// compilers' list-directed output is) gives a run identical to the plain one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

mw::Model model() {
  mw::Model m;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.mult = {3, 0, 0};
  m.excited.label = "T1U";
  m.excited.mult = {3, 0, 0};
  // Rows such as "2 2 2 0.5 3 0.25" and "3 3 1 ..." have runs of equal items.
  m.ground.ham[0] = {
      {mw::matrix(3, 3, {1.5f, 0, 0.25f, 0, 0.5f, 0.25f, 0.25f, 0.25f, 2.0f}), 1.0f}};
  m.excited.ham[0] = {{mw::matrix(3, 3, {0.5f, 0, 0, 0, 1.0f, 0.125f, 0, 0.125f, 3.0f}), 1.0f}};
  m.trans[0][0] = {{mw::matrix(3, 3, {0.5f, 0, 0, 0, 0.75f, 0, 0.25f, 0, 1.25f}), 1.0f}};
  m.style.pairs_per_line = 100;  // one line per row record
  return m;
}

bool numeric(const std::string& token) {
  return token.find_first_not_of("0123456789+-.eE") == std::string::npos;
}

// Each row record (a line of an even number of numbers) with runs of equal
// items as repeat counts, a comma after its first item and '/' at its end.
std::string compact(const std::string& ftn14) {
  std::istringstream in(ftn14);
  std::string out, line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> t;
    for (std::string w; words >> w;) t.push_back(w);
    bool row = t.size() >= 4 && t.size() % 2 == 0;
    for (const std::string& w : t) row = row && numeric(w);
    if (!row) {
      out += line + "\n";
      continue;
    }
    std::string r;
    for (std::size_t k = 0; k < t.size();) {
      std::size_t e = k + 1;
      while (e < t.size() && t[e] == t[k]) ++e;
      r += k == 1 ? ", " : " ";
      r += e - k > 1 ? std::to_string(e - k) + "*" + t[k] : t[k];
      k = e;
    }
    out += r + " / 9 9\n";
  }
  return out;
}

TEST(FreeFormRows, RepeatCountsCommasAndSlashGiveTheSameRun) {
  const mw::Model m = model();
  const mw::Files f = mw::write_model(m);
  const std::string compact14 = compact(f.ftn14);
  ASSERT_NE(compact14.find("3*2"), std::string::npos) << compact14;
  ASSERT_NE(compact14.find("2*3"), std::string::npos) << compact14;

  const std::string fort50 =
      mw::command_lines(m) + "N2 1 N3 1 W 0 DIP 1\nTRIADS\n" + mw::triad_line(m) + "\nENDTRIADS\n";
  RunDir plain("free_form_plain"), packed("free_form_packed");
  for (const RunDir* d : {&plain, &packed}) {
    d->put("FTN15", f.ftn15);
    d->put("fort.50", fort50);
  }
  plain.put("FTN14", f.ftn14);
  packed.put("FTN14", compact14);
  const RunResult a = plain.run(), b = packed.run();
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.out, a.out);
  EXPECT_EQ(b.err, a.err);
  for (const char* file : {"fort.43", "fort.44", "FTN99"}) {
    EXPECT_EQ(packed.get(file), plain.get(file)) << file;
  }
  EXPECT_NE(line_with(a.out, "Ground state energy"), "");
}

// A value that is NaN, infinite or beyond the 4-byte range ran to a normal end
// with "Total intensity NaN"; it stops the run, naming the file, line and value,
// as such a value in the command or recipe file does.
TEST(FreeFormRows, NonFiniteValuesStopTheRunNamingLineAndValue) {
  const mw::Model m = model();
  const mw::Files f = mw::write_model(m);
  const std::string fort50 =
      mw::command_lines(m) + "N2 1 N3 1 W 0 DIP 1\nTRIADS\n" + mw::triad_line(m) + "\nENDTRIADS\n";
  // The last value of the first row record, and where it stands.
  std::istringstream in(f.ftn14);
  std::string line;
  int32_t number = 0, row_line = 0;
  std::string head, value;
  while (std::getline(in, line)) {
    ++number;
    if (line.rfind("RME", 0) == 0) {
      std::getline(in, line);
      row_line = ++number;
      const std::size_t cut = line.find_last_of(' ');
      head = line.substr(0, cut + 1);
      break;
    }
  }
  ASSERT_GT(row_line, 0) << f.ftn14;
  for (const char* bad : {"NaN", "-Infinity", "inf", "1e39"}) {
    std::string ftn14 = f.ftn14;
    const std::size_t at = ftn14.find(head);
    const std::size_t end = ftn14.find('\n', at);
    ftn14.replace(at, end - at, head + bad);
    RunDir dir("free_form_nonfinite");
    dir.put("FTN14", ftn14);
    dir.put("FTN15", f.ftn15);
    dir.put("fort.50", fort50);
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 1) << bad << r.err;
    const std::string where = "FTN14 line " + std::to_string(row_line);
    EXPECT_EQ(r.err, "morvex7: " + where + ": the value " + bad +
                         " is not a finite 4-byte real\nSTOP quitprog: see output\n");
    EXPECT_NE(line_with(r.out, "Coefficient file " + where + ": row "), "") << r.out;
    EXPECT_FALSE(dir.exists("fort.43")) << bad;  // no calculation
  }
}

}  // namespace
}  // namespace e2e
