#pragma once

// For tests whose failure is a hang: a failure is reported and the process
// ends instead of waiting for the test runner's time-out.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "EventDispatcher.h"

namespace corvane::testing {

class Watchdog {
public:
    Watchdog(std::string what, std::chrono::seconds limit = std::chrono::seconds(60))
        : FWhat(std::move(what)) {
        FThread = std::thread([this, limit] {
            std::unique_lock lock(FMutex);
            if (!FDone.wait_for(lock, limit, [this] { return FFinished; })) {
                std::fprintf(stderr, "HUNG: %s did not finish within %lld s\n", FWhat.c_str(),
                             static_cast<long long>(limit.count()));
                std::fflush(stderr);
                std::_Exit(1);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(FMutex);
            FFinished = true;
        }
        FDone.notify_all();
        FThread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string FWhat;
    std::mutex FMutex;
    std::condition_variable FDone;
    bool FFinished = false;
    std::thread FThread;
};

// Serves the dispatcher until Done() or until `limit` passes; returns Done().
inline bool ServeFor(TEventDispatcher& dispatcher, const std::function<bool()>& Done,
                     std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::atomic<bool> expired{false};
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    std::thread timer([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, limit, [&] { return finished; })) {
            expired = true;
            dispatcher.Wake();
        }
    });
    dispatcher.ServeUntil([&] { return expired.load() || Done(); });
    {
        std::lock_guard lock(m);
        finished = true;
    }
    cv.notify_all();
    timer.join();
    return Done();
}

}  // namespace corvane::testing
