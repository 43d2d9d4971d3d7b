// Faults of the command file that used to end as a normal run (status 0)
// with NaN energies, files of hundreds of GB, a memory that grew without
// bound or a parameter silently lost: each now stops the run with a message
// and a non-zero status, or, for text past column 136, leaves the run as it
// was and says so on the error stream.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string example(const std::string& name, const std::string& file) {
  std::ifstream in(fs::path(MORVEX7_SOURCE_DIR) / "examples" / name / file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The example's files in `dir`, its command file changed by replacing `from`
// with `to` (each must occur).
void put_changed(const RunDir& dir, const std::string& name,
                 std::initializer_list<std::pair<std::string, std::string>> changes) {
  std::string commands = example(name, "fort.50");
  for (const auto& [from, to] : changes) {
    const std::size_t at = commands.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    commands.replace(at, from.size(), to);
  }
  dir.put("fort.50", commands);
  dir.put("FTN14", example(name, "FTN14"));
  dir.put("FTN15", example(name, "FTN15"));
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CommandFileFaults, NanAndInfinityAreInputErrorsAndTheRunStops) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"DEL 3.0", "DEL NaN"},
                                 {"DIP 1.0", "DIP inf"},
                                 {"UVV 4.0", "UVV -1e39"}}) {
    RunDir dir("nonfinite");
    put_changed(dir, "charge_transfer", {{from, to}});
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 1) << to;
    EXPECT_TRUE(has(r.out, " IO error nr         5012  encountered in REAGET  at:")) << r.out;
    EXPECT_TRUE(has(r.out, " TOO MANY WARNINGS")) << to;
    EXPECT_FALSE(dir.exists("fort.43")) << to;  // no ground state was computed
  }
}

TEST(CommandFileFaults, ParametersThatOverflowStopTheRunNamingThem) {
  {
    RunDir dir("overflow_definition");  // 2DEL + UVV is beyond the 4-byte range
    put_changed(dir, "charge_transfer", {{"DEL 3.0", "DEL 3e38"}});
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, " The parameter EG3 is +infinity:")) << r.out;
    EXPECT_FALSE(dir.exists("fort.43"));
  }
  {
    RunDir dir("overflow_diagonalisation");  // EG2 = 3E38 is finite, its spectrum is not
    put_changed(dir, "charge_transfer",
                {{"DEL 3.0", "DEL 3e38"},
                 {"DEF EG3 = 2DEL + UVV", "DEF EG3 = UVV"},
                 {"DEF EF3 = 2DEL + UVV - 2UCV", "DEF EF3 = UVV"}});
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, " The ground-state energies are not finite numbers:")) << r.out;
    EXPECT_FALSE(has(dir.get("fort.43"), "NaN"));
  }
  {
    RunDir dir("overflow_excited");
    put_changed(dir, "charge_transfer",
                {{"DEL 3.0", "DEL 3e38"},
                 {"DEF EG2 = DEL", "DEF EG2 = UCV"},
                 {"DEF EG3 = 2DEL + UVV", "DEF EG3 = UVV"},
                 {"DEF EF2 = DEL - UCV", "DEF EF2 = DEL"},
                 {"DEF EF3 = 2DEL + UVV - 2UCV", "DEF EF3 = UVV"}});
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, " The excited-state energies are not finite numbers:")) << r.out;
  }
  {
    RunDir dir("auger_dip_zero");  // the channel factors are DIP of the channel / DIP
    put_changed(dir, "auger_resonance", {{"DIP 1.0", "DIP 0"}});
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, " The parameter DIP of Auger channel 1 divided by DIP is +infinity"))
        << r.out;
  }
}

TEST(CommandFileFaults, NomegaAboveTheLimitIsRefusedBeforeAnyOutput) {
  RunDir dir("nomega");
  put_changed(dir, "auger_resonance", {{"NOMEGA 22", "NOMEGA 2147483647"}});
  const RunResult r = dir.run();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, " NOMEGA must be at most 1000000, value ignored, NOMEGA=  2147483647"));
  EXPECT_FALSE(dir.exists("fort.62"));
  EXPECT_FALSE(dir.exists("fort.45"));
}

// A parameter moved past column 136 is not read, exactly as before; the run
// is the run without it, and the error stream names the line and the text.
TEST(CommandFileFaults, TextPastColumn136IsIgnoredWithANotice) {
  RunDir cut("cut_line"), without("cut_line_reference");
  put_changed(cut, "charge_transfer", {{"DEL 3.0 UCV 5.0 UVV 4.0", "DEL 3.0 UCV 5.0" +
                                                                       std::string(130, ' ') +
                                                                       "UVV 4.0"}});
  put_changed(without, "charge_transfer", {{"DEL 3.0 UCV 5.0 UVV 4.0", "DEL 3.0 UCV 5.0"}});
  const RunResult a = cut.run(), b = without.run();
  ASSERT_EQ(b.status, 0);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.out, b.out);
  EXPECT_EQ(cut.get("fort.44"), without.get("fort.44"));
  EXPECT_EQ(a.err,
            "morvex7: notice: fort.50 line 3 has 152 columns; only the first 136 are read, "
            "ignored from column 146: \"UVV 4.0\"\n" +
                b.err);
}

// Runs morvex7 in dir with its address space limited (not under the address
// sanitizer, which needs a vast one): a command file gathered into memory
// would fail here instead of growing. One thread: the stacks of one per core
// would take the room on a large machine.
RunResult run_limited(const RunDir& dir) {
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;
#else
  const std::string limit = "ulimit -v 400000 && ";
#endif
  const std::string cmd = "cd '" + dir.path() + "' && " + limit + "'" + MORVEX7_EXE +
                          "' --threads 1 >stdout.txt 2>stderr.txt </dev/null";
  const int raw = std::system(cmd.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, dir.get("stdout.txt"), dir.get("stderr.txt")};
}

TEST(CommandFileFaults, LongLinesAreStreamedPastAndEndlessOnesRefused) {
  {
    RunDir dir("megabyte_line"), reference("megabyte_line_reference");
    put_changed(reference, "charge_transfer", {});
    put_changed(dir, "charge_transfer", {{"NCONF 3 3", "NCONF 3 3" + std::string(12'000'000, ' ') + "% end"}});
    const RunResult r = run_limited(dir), want = reference.run();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want.out);
    EXPECT_TRUE(has(r.err, "fort.50 line 4 has 12000014 columns; only the first 136 are read, "
                           "ignored from column 12000010: \"% end\""))
        << r.err;
  }
  {
    RunDir dir("endless_line");  // a stream that never ends a line
    put_changed(dir, "charge_transfer", {});
    fs::remove(dir.path() + "/fort.50");
    fs::create_symlink("/dev/zero", dir.path() + "/fort.50");
    const RunResult r = run_limited(dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "morvex7: line 1 of fort.50 is longer than 16777216 bytes: not a text file, or a "
              "stream without line ends\n");
  }
}

// A command file that cannot be read is not an empty one: the run used to
// end normally, with status 0 and nothing computed.
TEST(CommandFileFaults, ACommandFileThatCannotBeReadIsAFileFailure) {
  RunDir dir("unreadable_commands");
  put_changed(dir, "charge_transfer", {});
  fs::remove(dir.path() + "/fort.50");
  fs::create_directory(dir.path() + "/fort.50");
  const RunResult r = dir.run();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "morvex7: cannot read fort.50: Is a directory\n");
}

}  // namespace
}  // namespace e2e
