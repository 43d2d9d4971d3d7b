// Faults around a run of the real executable: files that cannot take their
// records (a full device, a full file system, a closed standard output, a
// pipe whose reader has gone), inputs that are directories, and the signals
// that stop a run. Each ends with a message naming the file and a non-zero
// status, and the records of work already done stay in their files, whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The command file of an example without its triad lines: the run reads one
// band block, computes nothing, and writes everything at its very end.
std::string without_triads(const std::string& fort50) {
  std::string out;
  bool in_triads = false;
  for (const std::string& l : lines(fort50)) {
    if (l.rfind("ENDTRIADS", 0) == 0) in_triads = false;
    if (!in_triads) out += l + "\n";
    if (l.rfind("TRIADS", 0) == 0) in_triads = true;
  }
  return out;
}

// Runs morvex7 in `dir` through the shell, with `setup` before it and
// `redirect` (standard output) after it; standard error to stderr.txt.
RunResult run_shell(const RunDir& dir, const std::string& setup, const std::string& redirect) {
  const std::string cmd = "cd '" + dir.path() + "' && " + setup + " '" + MORVEX7_EXE + "' " +
                          redirect + " 2>stderr.txt </dev/null";
  const int raw = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.err = dir.get("stderr.txt");
  return r;
}

// Whole records: empty, or ending with a line end.
bool whole_records(const std::string& text) { return text.empty() || text.back() == '\n'; }

// ------------------------------------------------------------ write failures

TEST(OutputFaults, EveryOutputFileOnAFullDeviceEndsTheRunNamingIt) {
  const struct {
    const char* example;
    const char* file;
  } cases[] = {{"charge_transfer", "fort.43"}, {"charge_transfer", "fort.44"},
               {"auger_resonance", "fort.45"}, {"auger_resonance", "fort.46"},
               {"auger_resonance", "fort.62"}};
  for (const auto& c : cases) {
    RunDir dir(std::string("full_") + c.file);
    put_example(dir, c.example);
    fs::create_symlink("/dev/full", fs::path(dir.path()) / c.file);
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 2) << c.file << ": " << r.err;
    EXPECT_TRUE(has(r.err, std::string("morvex7: cannot write to ") + c.file +
                               ": No space left on device"))
        << r.err;
    EXPECT_FALSE(has(r.err, "Normal end")) << "the run stops at the failure, not at its end";
  }
}

TEST(OutputFaults, TheFinalFlushIsCheckedAfterANormalEndAndAfterAStop) {
  // Records that reach the files only at the final flush: a block without
  // triads. The stop's own text stays, the failure follows it.
  RunDir spectrum("final_fort44");
  put_example(spectrum, "charge_transfer");
  spectrum.put("fort.50", without_triads(example_file("charge_transfer", "fort.50")));
  fs::create_symlink("/dev/full", fs::path(spectrum.path()) / "fort.44");
  RunResult r = spectrum.run();
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err,
            "STOP Normal end because of end of file on input\n"
            "morvex7: cannot write to fort.44: No space left on device\n");

  RunDir log("final_stdout");
  put_example(log, "charge_transfer");
  log.put("fort.50", without_triads(example_file("charge_transfer", "fort.50")));
  r = run_shell(log, "", ">/dev/full");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(has(r.err, "morvex7: cannot write to standard output: No space left on device"))
      << r.err;

  // A fatal stop (a symmetry missing from FTN15) keeps its text; its log
  // cannot be written either.
  RunDir stop("final_quitprog");
  put_example(stop, "charge_transfer");
  std::string fort50 = example_file("charge_transfer", "fort.50");
  fort50.replace(fort50.find("A1G T1U T1U"), 11, "A1G T1U XYZ");
  stop.put("fort.50", fort50);
  r = run_shell(stop, "", ">/dev/full");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err,
            "STOP quitprog: see output\n"
            "morvex7: cannot write to standard output: No space left on device\n");
}

TEST(OutputFaults, AClosedStandardOutputFailsAtOnceAndTakesNoFilesPlace) {
  RunDir dir("closed_stdout");
  put_example(dir, "charge_transfer");
  const std::string ftn14 = dir.get("FTN14");
  const RunResult r = run_shell(dir, "", ">&-");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(has(r.err, "cannot write to standard output: it was closed at the start")) << r.err;
  EXPECT_EQ(dir.get("FTN14"), ftn14);
  EXPECT_FALSE(dir.exists("fort.44"));
}

TEST(OutputFaults, AStoreFileOnAFullFileSystemIsNamedWhereItsRecordFails) {
  // A file size limit stands in for a full disk: the fourth record of the
  // computed-matrix store passes it, while the log goes to /dev/null.
  RunDir dir("full_ftn98");
  put_example(dir, "charge_transfer");
  const RunResult r = run_shell(dir, "trap '' XFSZ; ulimit -f 8;", ">/dev/null");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err, "morvex7: cannot write to FTN98: File too large\n");
}

TEST(OutputFaults, APipeWithoutReaderEndsTheRunAsSigpipeKeepingTheFiles) {
  RunDir ref("pipe_reference"), dir("pipe_broken");
  put_example(ref, "charge_transfer");
  put_example(dir, "charge_transfer");
  ASSERT_EQ(ref.run().status, 0);
  // The read end is closed before the run starts: every write to the pipe fails.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const std::string cmd = "cd '" + dir.path() + "' && '" + MORVEX7_EXE + "' >&" +
                          std::to_string(fds[1]) + " 2>stderr.txt </dev/null";
  const int raw = std::system(cmd.c_str());
  close(fds[1]);
  ASSERT_TRUE(WIFEXITED(raw)) << "killed by a signal instead of ending with its status";
  EXPECT_EQ(WEXITSTATUS(raw), 128 + SIGPIPE);
  EXPECT_TRUE(has(dir.get("stderr.txt"),
                  "morvex7: cannot write to standard output: its reader has gone (broken pipe)"))
      << dir.get("stderr.txt");
  for (const char* f : {"fort.43", "fort.44"}) {
    const std::string got = dir.get(f), want = ref.get(f);
    EXPECT_TRUE(whole_records(got)) << f;
    EXPECT_EQ(want.substr(0, got.size()), got) << f << " must hold the reference's first records";
  }
}

// ------------------------------------------------------------ inputs

TEST(OutputFaults, ADirectoryInPlaceOfAnInputIsAFileFailureNamingIt) {
  for (const char* file : {"fort.50", "FTN14", "FTN15"}) {
    RunDir dir(std::string("dir_") + file);
    put_example(dir, "charge_transfer");
    fs::remove(fs::path(dir.path()) / file);
    fs::create_directory(fs::path(dir.path()) / file);
    const RunResult r = dir.run();
    EXPECT_EQ(r.status, 2) << file << ": " << r.err;
    EXPECT_EQ(r.err, std::string("morvex7: cannot read ") + file + ": Is a directory\n");
  }
}

}  // namespace
}  // namespace e2e
