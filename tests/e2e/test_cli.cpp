// The command line of the executable: --help and --version answer without
// running; `morvex7 DIR` is the run made inside DIR, byte for byte; every
// other argument is refused with status 2 before a file is touched; and
// cmake --install gives an executable that runs from anywhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Runs `exe args` with `where` as the working directory; its standard output
// and error are caught outside every run directory.
RunResult run_from(const RunDir& where, const std::string& exe, const std::string& args) {
  static const RunDir streams("cli_streams");
  const std::string out = streams.path() + "/out", err = streams.path() + "/err";
  const std::string cmd = "cd '" + where.path() + "' && '" + exe + "' " + args + " >'" + out +
                          "' 2>'" + err + "' </dev/null";
  const int raw = std::system(cmd.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
}

RunResult run_from(const RunDir& where, const std::string& args) {
  return run_from(where, MORVEX7_EXE, args);
}

// Every file of a directory with its bytes.
std::map<std::string, std::string> files(const RunDir& dir) {
  std::map<std::string, std::string> all;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    all[e.path().filename().string()] = dir.get(e.path().filename().string());
  }
  return all;
}

// The outputs of a run of examples/<name> made inside its directory.
struct Reference {
  RunResult result;
  std::map<std::string, std::string> files;
};
Reference run_inside(const std::string& name) {
  const RunDir dir("cli_inside_" + name);
  put_example(dir, name);
  Reference r{run_from(dir, ""), {}};
  r.files = files(dir);
  return r;
}

TEST(CommandLine, HelpDescribesTheRunAndRunsNothing) {
  const RunDir dir("cli_help");
  const RunResult help = run_from(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("usage: morvex7 [--threads N] [--work-array CELLS] [DIR]\n", 0), 0u)
      << help.out;
  for (const char* item :
       {"--threads N", "--work-array CELLS", "DIR ", "--version", "fort.50", "FTN14", "FTN15",
        "fort.44", "fort.43", "fort.62", "FTN98", "MORVEX7_THREADS", "\n  0 ", "\n  1 ", "\n  2 ",
        "\n  3 ", "Examples:"}) {
    EXPECT_NE(help.out.find(item), std::string::npos) << "--help does not mention " << item;
  }
  // -h is the same, and help wins over arguments that would be refused.
  EXPECT_EQ(run_from(dir, "-h").out, help.out);
  const RunResult mixed = run_from(dir, "--threads 0 no_such_dir --help");
  EXPECT_EQ(mixed.status, 0);
  EXPECT_EQ(mixed.out, help.out);
  EXPECT_TRUE(files(dir).empty()) << "--help wrote a file";
}

TEST(CommandLine, VersionIsThePackageVersion) {
  const std::string pyproject =
      read_file((fs::path(MORVEX7_SOURCE_DIR) / "python" / "pyproject.toml").string());
  std::smatch m;
  ASSERT_TRUE(std::regex_search(pyproject, m, std::regex("\nversion = \"([^\"]+)\"")));
  const RunDir dir("cli_version");
  const RunResult r = run_from(dir, "--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "morvex7 " + m[1].str() + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(files(dir).empty());
}

TEST(CommandLine, HelpOrVersionThatCannotBeWrittenFails) {
  const RunDir dir("cli_full");
  for (const char* option : {"--help", "--version"}) {
    const std::string cmd = "cd '" + dir.path() + "' && '" + MORVEX7_EXE + "' " + option +
                            " >/dev/full 2>/dev/null </dev/null";
    const int raw = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(raw)) << option;
    EXPECT_EQ(WEXITSTATUS(raw), 2) << option << " on a full standard output";
  }
}

TEST(CommandLine, RunInDirIsTheRunInsideIt) {
  const RunDir elsewhere("cli_elsewhere");
  for (const char* name : {"charge_transfer", "auger_resonance"}) {
    const Reference want = run_inside(name);
    ASSERT_EQ(want.result.status, 0) << want.result.err;
    // An absolute DIR after an option, and a relative DIR before one.
    const RunDir absolute(std::string("cli_abs_") + name), relative(std::string("cli_rel_") + name);
    put_example(absolute, name);
    put_example(relative, name);
    const RunResult a = run_from(elsewhere, "--threads 2 '" + absolute.path() + "'");
    const std::string up = "'../" + fs::path(relative.path()).filename().string() + "'";
    const RunResult b = run_from(elsewhere, up + " --work-array 20000000");
    for (const RunResult* r : {&a, &b}) {
      EXPECT_EQ(r->status, 0) << name << ": " << r->err;
      EXPECT_EQ(r->out, want.result.out) << name;
      EXPECT_EQ(r->err, want.result.err) << name;
    }
    EXPECT_EQ(files(absolute), want.files) << name;
    EXPECT_EQ(files(relative), want.files) << name;
  }
  EXPECT_TRUE(files(elsewhere).empty()) << "a run in DIR wrote into the working directory";
}

TEST(CommandLine, OtherArgumentsAreRefusedBeforeAnyFile) {
  const RunDir dir("cli_refused");
  put_example(dir, "charge_transfer");
  fs::create_directories(dir.path() + "/a");
  fs::create_directories(dir.path() + "/b");
  const auto before = files(dir);
  struct Case {
    const char* args;
    const char* says;  // part of the message
  };
  for (const Case& c : {
           Case{"--bogus", "unknown option '--bogus'"},
           Case{"-x a", "unknown option '-x'"},
           Case{"a b", "one run directory at most: 'a' and 'b'"},
           Case{"--threads 2 a --threads 1 b", "one run directory at most: 'a' and 'b'"},
           Case{"fort.50", "'fort.50' is a file, not a directory"},
           Case{"no_such_dir", "there is no directory 'no_such_dir'"},
           Case{"/dev/null", "'/dev/null' is not a directory"},
       }) {
    const RunResult r = run_from(dir, c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_EQ(r.err.rfind("morvex7: ", 0), 0u) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << ": " << r.err;
  }
  // A command file given as DIR: the message says where the command file goes.
  const RunResult file = run_from(dir, "fort.50");
  EXPECT_NE(file.err.find("DIR must be the run directory"), std::string::npos) << file.err;
  EXPECT_NE(file.err.find("the command file is fort.50 in it"), std::string::npos) << file.err;
  EXPECT_EQ(files(dir), before) << "a refused command line touched the directory";
  EXPECT_TRUE(fs::is_empty(dir.path() + "/a"));
}

TEST(CommandLine, InstalledExecutableRunsFromAnywhere) {
  const RunDir prefix("cli_prefix");
  std::ostringstream install;
  install << "'" << MORVEX7_CMAKE << "' --install '" << MORVEX7_BUILD_DIR << "' --prefix '"
          << prefix.path() << "' >'" << prefix.path() << "/install.txt' 2>&1";
  ASSERT_EQ(std::system(install.str().c_str()), 0) << prefix.get("install.txt");
  const std::string exe = prefix.path() + "/bin/morvex7";
  struct stat st {};
  ASSERT_EQ(::stat(exe.c_str(), &st), 0) << prefix.get("install.txt");
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  // The package's commands go to /usr/local/bin only (pip's place for them).
  EXPECT_FALSE(fs::exists(prefix.path() + "/bin/morvex7-spectra"));

  const Reference want = run_inside("charge_transfer");
  const RunDir run("cli_installed_run"), elsewhere("cli_installed_elsewhere");
  put_example(run, "charge_transfer");
  const RunResult r = run_from(elsewhere, exe, "'" + run.path() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want.result.out);
  EXPECT_EQ(files(run), want.files);
}

}  // namespace
}  // namespace e2e
