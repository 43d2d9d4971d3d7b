// The signal watcher is an ordinary thread waiting in sigwait, not a signal
// handler: it may take locks and flush stdio streams, which a handler may not.
#include "io/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "io/stop.h"
#include "io/units.h"

namespace mv {
namespace {

constexpr int watched[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE};

// How long the watcher waits for the record being written and for the
// flush: a standard output whose reader has stopped reading could hold both
// up for ever.
constexpr unsigned give_up_seconds = 5;

volatile std::sig_atomic_t exit_status = 0;

// A real signal handler: only _exit, which is async-signal-safe.
extern "C" void give_up(int) { _exit(exit_status); }

void arm_give_up(int status) {
  exit_status = status;
  struct sigaction action {};
  action.sa_handler = give_up;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  alarm(give_up_seconds);
}

bool closed(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// In ascending order, so that open() takes the slot just found free.
void fill_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (!closed(fd)) continue;
    if (fd == STDOUT_FILENO) note_stdout_closed();
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) return;
  }
}

bool ignored_at_start(int sig) {
  struct sigaction old {};
  return sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
}

[[noreturn]] void watch(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    arm_give_up(status_signal_base + sig);
    if (!hold_units_for_signal()) {  // the run has ended already
      alarm(0);
      continue;
    }
    const char* name = sigabbrev_np(sig);
    std::fprintf(stderr, "morvex7: stopped by SIG%s; every file keeps the records written before it\n",
                 name != nullptr ? name : "?");
    std::fflush(stderr);
    _exit(status_signal_base + sig);
  }
}

}  // namespace

void guard_run() {
  fill_closed_standard_streams();
  sigset_t set;
  sigemptyset(&set);
  bool any = false;
  for (int sig : watched) {
    if (ignored_at_start(sig)) continue;
    sigaddset(&set, sig);
    any = true;
  }
  if (!any) return;
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(watch, set).detach();
}

}  // namespace mv
