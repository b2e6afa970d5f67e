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
// The stop of every command of this run.
std::stop_source gStop;

void Say(int fd, const char* text) {
    [[maybe_unused]] ssize_t n = ::write(fd, text, std::strlen(text));
}

void Watch(sigset_t signals, int errFd) {
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) continue;
        int none = 0;
        if (!gTaken.compare_exchange_strong(none, signal)) {
            Say(errFd, "corvane-cli: exiting at once: the programmer board may need a reset\n");
            _exit(StoppedStatus(signal));
        }
        Say(errFd,
            "corvane-cli: stopping: the programmer's pass is finished first "
            "(Ctrl+C again exits at once)\n");
        gStop.request_stop();
        {
            // The sleeper checks Taken() under the mutex: no wake-up is lost.
            std::lock_guard lock(gMutex);
        }
        gSignalled.notify_all();
    }
}

}  // namespace

void Install(int errFd) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(Watch, signals, errFd).detach();
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
