#include "StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "ProgrammerLink.h"

namespace corvane::cli::stop_signals {

namespace {

std::atomic<int> gTaken{0};
std::mutex gMutex;
std::condition_variable gSignalled;
TProgrammerLink* gTarget = nullptr;  // guarded by gMutex

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
        {
            std::lock_guard lock(gMutex);
            if (gTarget != nullptr) gTarget->RequestStop();
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

void SetTarget(TProgrammerLink* link) {
    std::lock_guard lock(gMutex);
    gTarget = link;
    if (gTarget != nullptr && Taken() != 0) gTarget->RequestStop();
}

void SleepUnlessTaken(std::chrono::milliseconds duration) {
    std::unique_lock lock(gMutex);
    gSignalled.wait_for(lock, duration, [] { return Taken() != 0; });
}

}  // namespace corvane::cli::stop_signals
