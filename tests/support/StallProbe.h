#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace corvane::test {

// Posts an event to the GUI thread every `gap` from a thread of its own and
// keeps the longest time one waited before the GUI thread handled it: how
// long the window could not have answered the window manager.
class TStallProbe : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    explicit TStallProbe(std::chrono::milliseconds gap) {
        FThread = std::thread([this, gap] {
            std::unique_lock<std::mutex> lock(FMutex);
            while (!FStop) {
                QCoreApplication::postEvent(this, new TProbe(Clock::now()));
                FChanged.wait_for(lock, gap, [this] { return FStop; });
            }
        });
    }
    ~TStallProbe() override {
        Stop();
        QCoreApplication::removePostedEvents(this);
    }
    TStallProbe(const TStallProbe&) = delete;
    TStallProbe& operator=(const TStallProbe&) = delete;

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FStop = true;
        }
        FChanged.notify_all();
        if (FThread.joinable()) FThread.join();
        // Those still waiting count with the wait they have had.
        QCoreApplication::sendPostedEvents(this);
    }
    // The longest wait of an event handled so far.
    Clock::duration Longest() const { return FLongest; }
    double LongestMs() const { return std::chrono::duration<double, std::milli>(FLongest).count(); }
    long Handled() const { return FHandled; }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kType) return QObject::event(e);
        FLongest = std::max(FLongest, Clock::now() - static_cast<TProbe*>(e)->Posted);
        ++FHandled;
        return true;
    }

private:
    static inline const auto kType = static_cast<QEvent::Type>(QEvent::registerEventType());
    struct TProbe : QEvent {
        explicit TProbe(Clock::time_point posted) : QEvent(kType), Posted(posted) {}
        Clock::time_point Posted;
    };
    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FStop = false;
    Clock::duration FLongest{};
    long FHandled = 0;
};

}  // namespace corvane::test
