#include "StopSignals.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stop_token>

#include "StopRequests.h"

namespace corvane::cli::stop_signals {

namespace {

constexpr int kHangUp = 1;  // SIGHUP's number

std::atomic<int> gTaken{0};
std::mutex gMutex;
std::condition_variable gSignalled;
bool gFinishPass = false;  // guarded by gMutex
// The stop of every command of this run.
std::stop_source gStop;
std::FILE* gErr = nullptr;
void (*gAtExit)() = nullptr;

// A notice on standard error; a terminal that is gone or a reader that went
// away changes nothing.
void Say(const char* text) {
    std::fputs(text, gErr);
    std::fflush(gErr);
}

[[noreturn]] void ExitAtOnce(int signal) {
    if (gAtExit != nullptr) gAtExit();
    std::_Exit(StoppedStatus(signal));
}

// What a signal does; called for each on the requests' thread.
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
    if (signal == kHangUp) return;
    Say("corvane-cli: exiting at once: the programmer board may need a reset\n");
    ExitAtOnce(signal);
}

}  // namespace

void Install(std::FILE* err, void (*atExit)()) {
    gErr = err;
    gAtExit = atExit;
    // Taken until the program ends: never destroyed.
    static auto* requests = new platform::TStopRequests();
    requests->SetHandler([](int exitStatus) { Take(exitStatus - 128); });
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
