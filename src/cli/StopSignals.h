#pragma once

#include <chrono>
#include <stop_token>

namespace corvane::cli {

// Ctrl+C (SIGINT) and SIGTERM for the command line. The first signal asks the
// programmer link to stop: the link finishes or drains the board's pass and
// leaves the board at its prompt, and the program then ends as stopped. A
// second signal ends the program at once, saying that the board may need a
// reset. The signals are taken by a thread of their own (blocked everywhere
// else), so no system call of the port is ever interrupted by them.
namespace stop_signals {

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread
// started from it afterwards, and starts the thread that takes them. Call it
// before any other thread is started. `err` gets the two notices.
void Install(int errFd);

// The number of the first signal taken; 0 while none has come.
int Taken();

// The stop that the first signal asks for: handed to every command of the link.
std::stop_token Token();

// Sleeps for `duration`, or less when a signal comes.
void SleepUnlessTaken(std::chrono::milliseconds duration);

}  // namespace stop_signals

// The exit status of a run that a signal stopped: 128 + its number, as a
// shell reports a program that the signal ended (130 for Ctrl+C, 143 for SIGTERM).
inline int StoppedStatus(int signal) {
    return 128 + signal;
}

}  // namespace corvane::cli
