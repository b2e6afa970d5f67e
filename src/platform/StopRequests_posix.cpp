#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <thread>

#include "RequestRelay.h"
#include "StopRequests.h"

namespace corvane::platform {

namespace {

constexpr std::array kSignals{SIGTERM, SIGHUP, SIGINT};

// The pipe's end that the signal handler writes the signal's number into.
int gWakeFd = -1;

void OnSignal(int number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(gWakeFd, &byte, 1);
    errno = saved;
}

sigset_t SignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals) sigaddset(&set, signal);
    return set;
}

// The byte that ends the watcher (no signal has the number 0).
constexpr unsigned char kEnd = 0;

}  // namespace

struct TStopRequests::TState {
    TRequestRelay Relay;
    int Pipe[2] = {-1, -1};
    std::array<struct sigaction, kSignals.size()> Before{};
    sigset_t MaskBefore{};
    std::thread Watcher;
};

TStopRequests::TStopRequests() : FState(std::make_unique<TState>()) {
    TState& state = *FState;
    if (::pipe2(state.Pipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    gWakeFd = state.Pipe[1];
    // Blocked in this thread, and so in every thread started from it later;
    // the watcher alone takes them.
    const sigset_t set = SignalSet();
    pthread_sigmask(SIG_BLOCK, &set, &state.MaskBefore);
    try {
        state.Watcher = std::thread([&state, set] {
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            for (;;) {
                unsigned char number = kEnd;
                const ssize_t n = ::read(state.Pipe[0], &number, 1);
                if (n < 0 && errno == EINTR) continue;
                if (n != 1 || number == kEnd) return;
                state.Relay.Request(128 + number);
            }
        });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &state.MaskBefore, nullptr);
        gWakeFd = -1;
        ::close(state.Pipe[0]);
        ::close(state.Pipe[1]);
        throw;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        // A signal ignored from the start (SIGHUP under nohup) stays ignored.
        sigaction(kSignals[i], nullptr, &state.Before[i]);
        if (state.Before[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &action, nullptr);
    }
}

TStopRequests::~TStopRequests() {
    TState& state = *FState;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        sigaction(kSignals[i], &state.Before[i], nullptr);
    }
    const unsigned char end = kEnd;
    [[maybe_unused]] const ssize_t n = ::write(state.Pipe[1], &end, 1);
    state.Watcher.join();
    gWakeFd = -1;
    ::close(state.Pipe[0]);
    ::close(state.Pipe[1]);
    pthread_sigmask(SIG_SETMASK, &state.MaskBefore, nullptr);
}

void TStopRequests::SetHandler(THandler handler) {
    FState->Relay.SetHandler(std::move(handler));
}

}  // namespace corvane::platform
