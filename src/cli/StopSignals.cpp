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
struct TState {
    std::mutex Mutex;
    std::condition_variable Signalled;
    bool FinishPass = false;  // guarded by Mutex
    // The stop of every command of this run.
    std::stop_source Stop;
};
// The requests' thread may reach it while the program exits: never destroyed.
TState& State() {
    static auto* state = new TState();
    return *state;
}
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
    std::unique_lock lock(State().Mutex);
    int none = 0;
    if (gTaken.compare_exchange_strong(none, signal)) {
        // Held until the program has ended: no port is opened meanwhile.
        if (!State().FinishPass) ExitAtOnce(signal);
        Say("corvane-cli: Stopping... finishing the board's pass (Ctrl+C again exits at once)\n");
        // Taken() is set under the mutex that the sleeper checks it under: no
        // wake-up is lost.
        lock.unlock();
        State().Stop.request_stop();
        State().Signalled.notify_all();
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
    std::lock_guard lock(State().Mutex);
    State().FinishPass = true;
}

int Taken() {
    return gTaken.load();
}

std::stop_token Token() {
    return State().Stop.get_token();
}

void SleepUnlessTaken(std::chrono::milliseconds duration) {
    std::unique_lock lock(State().Mutex);
    State().Signalled.wait_for(lock, duration, [] { return Taken() != 0; });
}

}  // namespace corvane::cli::stop_signals
