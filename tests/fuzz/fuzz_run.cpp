// One run of the engine on one fuzzed input file, for AFL++ and for replay.
//
//   morvex7_fuzz KIND BASE INPUT...
//
// KIND names the file that the input becomes: command (fort.50), coefficients
// (FTN14), recipes (FTN15) or store (FTN99). The other files of the run come
// from the directory BASE (fort.50, FTN14, FTN15 of a small model); for the
// store kind, OLDCOWAN is put before the first command so that the run reads
// the coefficient store from FTN99 at once.
//
// Every run happens in a private directory (MORVEX7_FUZZ_DIR, else a fresh
// temporary directory) that is emptied first, so nothing a run leaves behind
// (FTN98, FTN99, fort.44) is seen by the next one, in a work array of 1,000,000
// cells, one thread, with files cut at 16 MB (writing beyond is a write error
// the engine must report, not a signal).
//
// Built with afl-clang-fast++, the fork server starts after this set-up and
// each fuzzed child runs the single INPUT. Built plainly, each INPUT runs in a
// forked child (the engine keeps its state in globals), with a time limit; a
// child that dies by a signal, runs out of time, or ends other than through the
// engine's stop is reported, and the exit status is 1 if any input was. This
// is how CI replays the corpora under the sanitizers.
//
// A run that ends with an exception other than the engine's stop ("internal
// error", status 3) is a fault: under AFL it aborts, so that AFL saves it. The
// signal guard of the executable is left out: its thread would not survive
// the fork server's fork, and no input can send a signal.
#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "driver/mainprog.h"
#include "io/stop.h"
#include "io/units.h"
#include "parallel/pool.h"
#include "workarray/heap.h"

namespace {

constexpr int32_t work_array_cells = 1000000;
constexpr rlim_t file_size_limit = 16u << 20;
constexpr unsigned replay_seconds = 10;

struct Kind {
  const char* name;
  const char* file;  // the file the fuzzed input becomes
};
constexpr Kind kinds[] = {
    {"command", "fort.50"}, {"coefficients", "FTN14"}, {"recipes", "FTN15"}, {"store", "FTN99"}};

struct Setup {
  const Kind* kind = nullptr;
  std::string dir;                                       // the private run directory
  bool own_dir = false;                                  // made here, removed after use
  std::vector<std::pair<std::string, std::string>> base;  // companion files
};

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void write_file(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "morvex7_fuzz: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    std::abort();
  }
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// Removes what an earlier run left in the directory (files and, should an
// input have made one, empty subdirectories).
void empty_directory(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(dir + "/" + n);
  }
  ::closedir(d);
  for (const std::string& n : names) {
    if (::unlink(n.c_str()) != 0) ::rmdir(n.c_str());
  }
}

// Runs the engine on `input` as the fuzzed file, as the executable's main does
// (the stop caught, every unit written out, the stop text on the error
// stream); returns the run's status.
int run_once(const Setup& s, const std::string& input) {
  ::mkdir(s.dir.c_str(), 0700);
  empty_directory(s.dir);
  for (const auto& [name, text] : s.base) {
    if (name != s.kind->file) write_file(s.dir + "/" + name, text);
  }
  write_file(s.dir + "/" + s.kind->file, input);
  if (::chdir(s.dir.c_str()) != 0) std::abort();
  return mv::run_program([] { mv::MAIN(); });
}

bool load_setup(int argc, char** argv, Setup& s) {
  if (argc < 4) return false;
  for (const Kind& k : kinds) {
    if (std::strcmp(argv[1], k.name) == 0) s.kind = &k;
  }
  if (s.kind == nullptr) return false;
  for (const char* name : {"fort.50", "FTN14", "FTN15"}) {
    std::string text;
    if (!read_file(std::string(argv[2]) + "/" + name, text)) {
      std::fprintf(stderr, "morvex7_fuzz: cannot read %s/%s\n", argv[2], name);
      return false;
    }
    if (std::strcmp(s.kind->name, "store") == 0 && std::strcmp(name, "fort.50") == 0) {
      text = "OLDCOWAN\n" + text;
    }
    s.base.emplace_back(name, std::move(text));
  }
  if (const char* d = std::getenv("MORVEX7_FUZZ_DIR"); d != nullptr && *d != '\0') {
    s.dir = d;
    ::mkdir(d, 0700);
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/morvex7_fuzz_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    s.dir = pattern;
    s.own_dir = true;
  }
  return true;
}

// The process-wide limits and settings every run shares.
void prepare_process() {
  mv::parallel::set_threads(1);
  if (!mv::set_heap_cells(work_array_cells)) std::abort();
  rlimit fsize{file_size_limit, file_size_limit};
  ::setrlimit(RLIMIT_FSIZE, &fsize);
  ::signal(SIGXFSZ, SIG_IGN);
}

bool show_log() { return std::getenv("MORVEX7_FUZZ_LOG") != nullptr; }

// The log is not looked at: keep it off the terminal (MORVEX7_FUZZ_LOG shows it).
void quiet() {
  if (show_log()) return;
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);
}

// The error stream of a replayed run (the stop text, a sanitizer's report)
// goes to `path`, shown only when the input fails.
void error_stream_to(const std::string& path) {
  if (show_log()) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) ::dup2(fd, STDERR_FILENO);
}

void show_error_stream(const std::string& path) {
  std::string text;
  if (!show_log() && read_file(path, text)) std::fputs(text.c_str(), stderr);
}

extern "C" [[gnu::weak]] void __sanitizer_print_stack_trace();

// A replayed input that runs out of time shows where it was, for triage.
[[maybe_unused]] void on_time_limit(int sig) {
  static const char text[] = "morvex7_fuzz: time limit reached in\n";
  (void)!::write(STDERR_FILENO, text, sizeof text - 1);
  if (__sanitizer_print_stack_trace != nullptr) {
    __sanitizer_print_stack_trace();
  } else {
    void* frames[32];
    ::backtrace_symbols_fd(frames, ::backtrace(frames, 32), STDERR_FILENO);
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Replays every input in a forked child; prints a line for each one that
// does not end through the engine's stop, and returns how many did not.
[[maybe_unused]] int replay(const Setup& s, int n, char** inputs) {
  const std::string errors = s.dir + ".stderr";
  int bad = 0;
  for (int k = 0; k < n; ++k) {
    std::string input;
    if (!read_file(inputs[k], input)) {
      std::printf("%s: cannot be read\n", inputs[k]);
      ++bad;
      continue;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) std::abort();
    if (child == 0) {
      quiet();
      error_stream_to(errors);
      ::signal(SIGALRM, on_time_limit);
      ::alarm(replay_seconds);
      const int status = run_once(s, input);
      std::fflush(nullptr);
      ::_exit(status);
    }
    int ws = 0;
    ::waitpid(child, &ws, 0);
    const bool failed = WIFSIGNALED(ws) || WEXITSTATUS(ws) > mv::status_file;
    if (failed) show_error_stream(errors);
    if (WIFSIGNALED(ws)) {
      const int sig = WTERMSIG(ws);
      std::printf("%s: %s (signal %d)\n", inputs[k], sig == SIGALRM ? "HANG" : "CRASH", sig);
      ++bad;
    } else if (failed) {
      std::printf("%s: FAILED (status %d)\n", inputs[k], WEXITSTATUS(ws));
      ++bad;
    }
  }
  ::unlink(errors.c_str());
  return bad;
}

}  // namespace

// A sanitizer report must end the run by a signal, so that neither AFL nor the
// replay takes it for the engine's own status 1.
extern "C" const char* __asan_default_options() { return "abort_on_error=1:detect_leaks=0"; }
extern "C" const char* __ubsan_default_options() {
  return "abort_on_error=1:halt_on_error=1:print_stacktrace=1";
}

int main(int argc, char** argv) {
  Setup s;
  if (!load_setup(argc, argv, s)) {
    std::fprintf(stderr,
                 "usage: morvex7_fuzz command|coefficients|recipes|store BASE_DIR INPUT...\n");
    return 64;
  }
  prepare_process();
#ifdef __AFL_HAVE_MANUAL_CONTROL
  quiet();
  __AFL_INIT();
  std::string input;
  if (!read_file(argv[3], input)) return 64;
  const int status = run_once(s, input);
  // Each run is the process's only one, so a directory made here goes with it.
  if (s.own_dir) {
    empty_directory(s.dir);
    ::rmdir(s.dir.c_str());
  }
  if (status == mv::status_internal) std::abort();
  return 0;
#else
  const int bad = replay(s, argc - 3, argv + 3);
  std::printf("morvex7_fuzz %s: %d input(s) replayed, %d failed\n", s.kind->name, argc - 3, bad);
  if (s.own_dir) {
    empty_directory(s.dir);
    ::rmdir(s.dir.c_str());
  }
  return bad == 0 ? 0 : 1;
#endif
}
