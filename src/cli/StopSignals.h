#pragma once

#include <chrono>
#include <cstdio>
#include <stop_token>

namespace corvane::cli {

// Ctrl+C (SIGINT), SIGTERM and SIGHUP (the terminal closed, the connection
// lost) for the command line; on Windows Ctrl+C, Ctrl+Break and a closed
// console window, which stand for SIGINT, SIGINT and SIGHUP. Before a port
// may be opened nothing needs finishing: a signal ends the program at once.
// After that the first signal asks for a stop (Token()): the programmer link
// finishes or drains the board's pass and leaves the board at its prompt,
// and the program then ends as stopped. A second signal ends the program at
// once, saying that the board may need a reset; a SIGHUP that repeats is the
// system telling again, not the user, and changes nothing. The signals are
// taken by a thread of their own (blocked everywhere else), so no system call
// of the port is ever interrupted by them (platform::TStopRequests).
namespace stop_signals {

// Takes the signals from now on, on a thread of their own: call it before
// any other thread is started. `err` gets the notices; `atExit` runs before
// the program ends at once (it removes the scratch directories).
void Install(std::FILE* err, void (*atExit)());

// From now on a first signal asks for a stop instead of ending the program:
// call it before a port is opened.
void FinishPassOnStop();

// The number of the first signal taken; 0 while none has come.
int Taken();

// The stop that the first signal after FinishPassOnStop asks for: handed to
// every command of the link.
std::stop_token Token();

// Sleeps for `duration`, or less when a signal comes.
void SleepUnlessTaken(std::chrono::milliseconds duration);

}  // namespace stop_signals

// The exit status of a run that a signal stopped: 128 + its number, as a
// shell reports a program that the signal ended (130 for Ctrl+C, 143 for
// SIGTERM, 129 for SIGHUP).
inline int StoppedStatus(int signal) {
    return 128 + signal;
}

}  // namespace corvane::cli
