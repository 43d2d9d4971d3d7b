// The run's guard against the ways it can be cut short from outside: a
// closed standard stream, and the signals that ask a program to stop
// (SIGTERM, SIGINT, SIGHUP, SIGPIPE).
#pragma once

namespace mv {

// Called once at the start of the executable, before any other thread
// exists. A closed standard output, input or error stream is replaced by
// /dev/null, so that no file of the run takes its place; a closed standard
// output is then a failure at its first record. The four signals are blocked
// in every thread (threads started later inherit the mask) and one thread
// waits for them: it lets the record being written end, hands every record
// written so far to its file, says so on the error stream and ends the
// process with status 128 + the signal; if that takes more than a few
// seconds (standard output to a reader that has stopped reading), it ends
// the process with that status without waiting. A signal that was ignored
// when the run started (nohup) stays ignored.
void guard_run();

}  // namespace mv
