#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace corvane {

// How other threads reach the GUI thread: a toolkit implements this one call.
class IGuiWake {
public:
    virtual ~IGuiWake() = default;
    // Called from any thread whenever jobs wait in the window's queue: have
    // the GUI thread call TWindowRules::DrainPosted (TGuiQueue::Drain) soon.
    // Qt posts an event to the window; Win32 posts a message to it. It must
    // not block and must not drain itself. One wake may stand for several
    // jobs, and a drain that finds nothing is normal.
    virtual void WakeGui() = 0;
};

// Jobs for the GUI thread from any thread, run there in the order they were
// posted. What a job carries crosses through this queue's mutex (not through
// the toolkit's queue, whose locking a thread checker may not see), so the
// wake itself carries nothing.
class TGuiQueue {
public:
    using TJob = std::function<void()>;

    explicit TGuiQueue(IGuiWake& wake) : FWake(wake) {}
    TGuiQueue(const TGuiQueue&) = delete;
    TGuiQueue& operator=(const TGuiQueue&) = delete;

    // Any thread.
    void Post(TJob job);
    // GUI thread: runs the jobs waiting, including those posted meanwhile.
    // A job may open a modal box whose own event loop drains again: the jobs
    // behind it then run inside it, still in order. Returns how many ran.
    int Drain();

private:
    IGuiWake& FWake;
    std::mutex FLock;
    std::deque<TJob> FJobs;
};

}  // namespace corvane
