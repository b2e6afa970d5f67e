#include "StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stop_token>
#include <thread>

namespace corvane::cli::stop_signals {

namespace {

std::atomic<int> gTaken{0};
std::mutex gMutex;
std::condition_variable gSignalled;
bool gFinishPass = false;  // guarded by gMutex
// The stop of every command of this run.
std::stop_source gStop;
int gErrFd = -1;
void (*gAtExit)() = nullptr;

// A notice on stderr; a terminal that is gone (EIO) or a reader that went
// away (EPIPE) changes nothing.
void Say(const char* text) {
    [[maybe_unused]] ssize_t n = ::write(gErrFd, text, std::strlen(text));
}

[[noreturn]] void ExitAtOnce(int signal) {
    if (gAtExit != nullptr) gAtExit();
    _exit(StoppedStatus(signal));
}

bool IsHangUp(int signal) {
    return signal == SIGHUP;
}

// What a signal does; called for each on the signal thread.
void Take(int signal) {
    std::unique_lock lock(gMutex);
    int none = 0;
    if (gTaken.compare_exchange_strong(none, signal)) {
        // Held until the program has ended: no port is opened meanwhile.
        if (!gFinishPass) ExitAtOnce(signal);
        Say("corvane-cli: Stopping... finishing the board's pass (Ctrl+C again exits at once)\n");
        // Taken() is set under the mutex that the sleeper checks it under: no
        // wake-up is lost.
        lock.unlock();
        gStop.request_stop();
        gSignalled.notify_all();
        return;
    }
    if (IsHangUp(signal)) return;
    Say("corvane-cli: exiting at once: the programmer board may need a reset\n");
    ExitAtOnce(signal);
}

void Watch(sigset_t signals) {
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) == 0) Take(signal);
    }
}

}  // namespace

void Install(int errFd, void (*atExit)()) {
    gErrFd = errFd;
    gAtExit = atExit;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A reader that went away is no reason to stop in the middle of a write
    // pass: a write to it fails with EPIPE, which the program passes over.
    signal(SIGPIPE, SIG_IGN);
    std::thread(Watch, signals).detach();
}

void FinishPassOnStop() {
    std::lock_guard lock(gMutex);
    gFinishPass = true;
}

int Taken() {
    return gTaken.load();
}

std::stop_token Token() {
    return gStop.get_token();
}

void SleepUnlessTaken(std::chrono::milliseconds duration) {
    std::unique_lock lock(gMutex);
    gSignalled.wait_for(lock, duration, [] { return Taken() != 0; });
}

}  // namespace corvane::cli::stop_signals
