#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane::device {

// Waits for a change of the modem input lines in the kernel (the driver's
// modem-status wait, TIOCMIWAIT) on a thread of its own, and tells the
// monitor when one happens, so that a quiet line costs nothing. A driver
// without that wait says so at once: Supported() then turns false and the
// monitor looks at the lines every few milliseconds instead.
//
// The kernel's wait cannot be watched together with other descriptors, and
// only a signal ends it early: stopping sends the waiting thread a signal
// whose handler does nothing. That signal is one of the real-time ones, and
// it is taken only when nobody else has a handler for it; otherwise the
// wait counts as unsupported.
class TModemLineWait {
public:
    // `Wait` blocks until a line changes and returns 0, or returns an error
    // number (EINTR when the signal ended it); `Changed` is called after
    // every change, and once when the wait turns out to be unsupported.
    TModemLineWait(std::function<int()> Wait, std::function<void()> Changed);
    // Ends the wait and the thread.
    ~TModemLineWait();
    TModemLineWait(const TModemLineWait&) = delete;
    TModemLineWait& operator=(const TModemLineWait&) = delete;

    bool Supported() const { return FSupported.load(); }

    // The signal that ends a wait early; 0 when none could be taken.
    static int InterruptSignal();

private:
    void Run();

    std::function<int()> FWait;
    std::function<void()> FChanged;
    std::atomic<bool> FSupported{true};
    std::atomic<bool> FStop{false};
    std::mutex FMutex;
    std::condition_variable FEnded;
    bool FFinished = false;
    std::thread FThread;
};

}  // namespace corvane::device
