#include "ModemLineWait.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace corvane::device {

namespace {

void Ignore(int) {}

int TakeSignal() {
    const int sig = SIGRTMIN + 6;
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) != 0) return 0;
    if (current.sa_handler == Ignore) return sig;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) return 0;
    struct sigaction ours {};
    ours.sa_handler = Ignore;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = 0;  // no SA_RESTART: the kernel's wait ends with EINTR
    return sigaction(sig, &ours, nullptr) == 0 ? sig : 0;
}

}  // namespace

int TModemLineWait::InterruptSignal() {
    static const int sig = TakeSignal();
    return sig;
}

TModemLineWait::TModemLineWait(std::function<int()> Wait, std::function<void()> Changed)
    : FWait(std::move(Wait)), FChanged(std::move(Changed)) {
    if (InterruptSignal() == 0) {
        FSupported = false;
        return;
    }
    FThread = std::thread([this] { Run(); });
}

TModemLineWait::~TModemLineWait() {
    if (!FThread.joinable()) return;
    FStop = true;
    // The signal may come just before the thread enters the wait, so it is
    // sent again until the thread has ended.
    std::unique_lock lock(FMutex);
    while (!FFinished) {
        pthread_kill(FThread.native_handle(), InterruptSignal());
        FEnded.wait_for(lock, std::chrono::milliseconds(5));
    }
    lock.unlock();
    FThread.join();
}

void TModemLineWait::Run() {
    while (!FStop.load()) {
        const int rc = FWait();
        if (FStop.load()) break;
        if (rc == 0) {
            FChanged();
        } else if (rc != EINTR) {
            // The driver has no such wait (or it failed): the monitor polls.
            FSupported = false;
            FChanged();
            break;
        }
    }
    std::lock_guard lock(FMutex);
    FFinished = true;
    FEnded.notify_all();
}

}  // namespace corvane::device
