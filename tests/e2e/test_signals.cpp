// The signals that ask a run to stop (SIGTERM, SIGINT, SIGHUP, SIGPIPE): the
// run ends with 128 + the signal, and every record written before it is in
// its file, whole, whether the signal comes while the kernels work on their
// threads or while the run waits for its command file.
//
// The command file is a named pipe fed by the test, so the run is known to be
// alive when the signal comes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>
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
using Clock = std::chrono::steady_clock;

std::string example_file(const std::string& file) {
  std::ifstream in(fs::path(MORVEX7_SOURCE_DIR) / "examples" / "fine_band" / file,
                   std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The fine-band example with a smaller band: one quick triad, ending with
// ENDTRIADS, so that another band block may follow.
std::string first_block() {
  std::string text = example_file("fort.50");
  text.replace(text.find("N2 10 N3 8"), 10, "N2 4 N3 3");
  return text;
}

// morvex7 started in a directory, its command file a named pipe; standard
// output to stdout.txt, or to `out_fd` when one is given.
class PipedRun {
 public:
  PipedRun(const RunDir& dir, const std::string& args, int out_fd = -1) {
    const std::string fifo = dir.path() + "/fort.50";
    if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    const std::string exe = MORVEX7_EXE, path = dir.path();
    std::vector<std::string> words{exe};
    std::istringstream s(args);
    for (std::string w; s >> w;) words.push_back(w);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      if (chdir(path.c_str()) != 0) _exit(126);
      const int out = out_fd >= 0 ? out_fd : open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int in = open("/dev/null", O_RDONLY);
      if (out < 0 || err < 0 || in < 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    // Opening the writing end waits for the run to open its command file.
    const auto until = Clock::now() + 60s;
    while ((feed_ = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
           Clock::now() < until) {
      std::this_thread::sleep_for(5ms);
    }
  }
  ~PipedRun() {
    if (feed_ >= 0) close(feed_);
    if (pid_ > 0 && status_ == unknown) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool feeding() const { return feed_ >= 0; }
  void feed(const std::string& text) const {
    ASSERT_EQ(write(feed_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Waits until `ready` holds, up to a minute.
  template <class F>
  bool wait_for(F ready) const {
    for (const auto until = Clock::now() + 60s; Clock::now() < until;) {
      if (ready()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  // The run sleeps in every thread and uses no processor time for a while:
  // it waits for its command file.
  bool idle() const {
    long long before = cpu_ticks();
    for (int k = 0; k < 5; ++k) {
      std::this_thread::sleep_for(60ms);
      if (!all_sleeping()) return false;
      const long long now = cpu_ticks();
      if (now != before) return false;
      before = now;
    }
    return true;
  }
  void send(int sig) const { kill(pid_, sig); }
  // The exit status, or -signal when a signal ended the process, or
  // `unknown` when it did not end within a minute.
  int status() {
    for (const auto until = Clock::now() + 60s; Clock::now() < until;) {
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
        return status_;
      }
      std::this_thread::sleep_for(10ms);
    }
    return unknown;
  }
  static constexpr int unknown = -1000;

 private:
  std::string proc(const std::string& tail) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + tail);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Fields after the command name of a stat line, from the state on.
  static std::vector<std::string> stat_fields(const std::string& stat) {
    std::istringstream s(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f;
    for (std::string w; s >> w;) f.push_back(w);
    return f;
  }
  long long cpu_ticks() const {
    const std::vector<std::string> f = stat_fields(proc("/stat"));
    return f.size() > 12 ? std::stoll(f[11]) + std::stoll(f[12]) : -1;
  }
  bool all_sleeping() const {
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
      const std::vector<std::string> f =
          stat_fields(proc("/task/" + task.path().filename().string() + "/stat"));
      if (f.empty() || f[0] != "S") return false;
    }
    return !ec;
  }

  pid_t pid_ = -1;
  int feed_ = -1;
  int status_ = unknown;
};

bool whole_records(const std::string& text) { return text.empty() || text.back() == '\n'; }

// `got` begins with `want`, and holds whole records.
::testing::AssertionResult keeps(const std::string& got, const std::string& want) {
  if (!whole_records(got)) return ::testing::AssertionFailure() << "ends inside a record";
  if (got.compare(0, want.size(), want) != 0) {
    return ::testing::AssertionFailure() << "does not begin with the records of the work done:\n"
                                         << got.substr(0, 400);
  }
  return ::testing::AssertionSuccess();
}

class Signals : public ::testing::TestWithParam<int> {};

// Two finished triads, then a third band block whose triad has not come yet:
// the records of that block (the echo of its lines on fort.44, its header in
// the log) have been written but not flushed when the signal comes.
TEST_P(Signals, WhileWaitingForInputEveryRecordWrittenIsKept) {
  const int sig = GetParam();
  const std::string name = sigabbrev_np(sig);
  const std::string blocks = first_block() + "N2 12 N3 12\nTRIADS\nA1G T1U T1U\nENDTRIADS\n";
  const std::string third = "DEL 2.5\nTRIADS\n";

  RunDir ref("signal_reference_" + name);
  for (const char* f : {"FTN14", "FTN15"}) ref.put(f, example_file(f));
  ref.put("fort.50", blocks + third + "ENDTRIADS\n");
  const RunResult done = ref.run("--threads 2");
  ASSERT_EQ(done.status, 0) << done.err;

  RunDir dir("signal_" + name);
  for (const char* f : {"FTN14", "FTN15"}) dir.put(f, example_file(f));
  PipedRun run(dir, "--threads 2");
  ASSERT_TRUE(run.feeding());
  run.feed(blocks + third);
  const std::string band3 = "BAND 3\n";
  ASSERT_TRUE(run.wait_for([&] { return dir.get("fort.43").size() >= ref.get("fort.43").size(); }))
      << "the finished triads' records must reach fort.43 at their end";
  ASSERT_TRUE(run.wait_for([&] { return run.idle(); }));
  run.send(sig);
  ASSERT_EQ(run.status(), 128 + sig) << dir.get("stderr.txt");

  EXPECT_EQ(dir.get("stderr.txt"), "morvex7: stopped by SIG" + name +
                                       "; every file keeps the records written before it\n");
  EXPECT_EQ(dir.get("fort.43"), ref.get("fort.43"));
  // fort.44 up to the echo of the third block's lines; the reference goes on
  // with the end of its command file.
  const std::string ref44 = ref.get("fort.44");
  const std::size_t echoed = ref44.find(" TRIADS", ref44.find(band3));
  ASSERT_NE(echoed, std::string::npos);
  EXPECT_EQ(dir.get("fort.44"), ref44.substr(0, ref44.find('\n', echoed) + 1));
  const std::string log = dir.get("stdout.txt");
  EXPECT_TRUE(keeps(log, "")) << "the log";
  EXPECT_EQ(ref.get("stdout.txt").compare(0, log.size(), log), 0);
  EXPECT_NE(log.find(" Band calculation number  3"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(EachSignal, Signals, ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGPIPE),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// SIGTERM while a large triad is being computed on two threads, after a
// first one has finished: the signal must not reach a worker thread (whose
// default action would kill the process), and the first triad's records are
// kept whole.
TEST(SignalsDuringWork, TheFinishedTriadIsKeptAndTheStatusIs143) {
  RunDir ref("signal_work_reference");
  for (const char* f : {"FTN14", "FTN15"}) ref.put(f, example_file(f));
  ref.put("fort.50", first_block());
  ASSERT_EQ(ref.run("--threads 2").status, 0);

  RunDir dir("signal_work");
  for (const char* f : {"FTN14", "FTN15"}) dir.put(f, example_file(f));
  PipedRun run(dir, "--threads 2");
  ASSERT_TRUE(run.feeding());
  run.feed(first_block() + "N2 30 N3 30\nTRIADS\nA1G T1U T1U\nENDTRIADS\n");
  const std::string first43 = ref.get("fort.43");
  ASSERT_TRUE(run.wait_for([&] { return dir.get("fort.43").size() >= first43.size(); }));
  run.send(SIGTERM);
  ASSERT_EQ(run.status(), 128 + SIGTERM) << dir.get("stderr.txt");
  EXPECT_TRUE(keeps(dir.get("fort.43"), first43));
  // The reference's fort.44 ends with the end of its command file; all
  // before that is the first block's.
  const std::string ref44 = ref.get("fort.44");
  EXPECT_TRUE(keeps(dir.get("fort.44"), ref44.substr(0, ref44.find("BAND 2\n"))));
}

// Standard output to a pipe that nobody reads: the run waits in a write of
// its log, holding the record it writes. A signal then cannot have the log
// flushed; the run ends after a few seconds with the signal's status anyway.
// (Takes those few seconds.)
TEST(SignalsDuringWork, AStalledReaderOfTheLogDoesNotKeepTheRunAlive) {
  std::string blocks;
  for (int k = 0; k < 12; ++k) blocks += first_block();  // a log far larger than a pipe holds
  RunDir dir("signal_stalled_log");
  for (const char* f : {"FTN14", "FTN15"}) dir.put(f, example_file(f));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  PipedRun run(dir, "--threads 2", fds[1]);
  close(fds[1]);
  ASSERT_TRUE(run.feeding());
  run.feed(blocks);
  ASSERT_TRUE(run.wait_for([&] { return run.idle(); }));
  run.send(SIGTERM);
  EXPECT_EQ(run.status(), 128 + SIGTERM);
  close(fds[0]);
  // The files are flushed before the log at the end of a triad: the log's
  // stall holds none of them up.
  const std::string fort43 = dir.get("fort.43");
  EXPECT_FALSE(fort43.empty());
  EXPECT_TRUE(whole_records(fort43));
}

}  // namespace
}  // namespace e2e
