#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane {

// The hand-over between a port's monitor thread and the thread that owns the
// port (the user-interface thread). No toolkit is involved: the owner thread
// serves the dispatcher by calling ProcessPending(), and a front end learns
// that work is waiting through the wake hook.
//
// Two kinds of work arrive from the monitor thread:
//
//  - Send (smThreadSync): the job runs on the owner thread while the monitor
//    thread waits; an exception the job throws is caught on the owner thread
//    and raised again in the monitor thread, out of Send.
//  - SendMessage (smWindowSync, a sent window message): the monitor thread
//    waits only until the owner thread has taken the message; the message is
//    released before its job runs, so the monitor goes on while the handler
//    runs. An exception from the job stays on the owner thread and goes to
//    the exception display (SetExceptionHandler).
//
// Post adds a job that nobody waits for (used to report an exception that
// ended a monitor thread).
//
// Serving with a GUI event loop (the Qt adapter, for instance):
//
//     auto dispatcher = std::make_shared<TEventDispatcher>();
//     dispatcher->SetWakeOwner([obj] {   // any thread, possibly the monitor
//         QMetaObject::invokeMethod(obj, [d = ...] { d->ProcessPending(); },
//                                   Qt::QueuedConnection);
//     });
//     dispatcher->SetExceptionHandler([](std::exception_ptr e) { ...show it... });
//     comPort.SetDispatcher(dispatcher);   // while the port is closed
//
// The wake hook is called once for every job added; it must not block and
// must not call ProcessPending itself (it may run on the monitor thread). It
// may be called after the work it announced has already been served (for
// instance by a ClosePort), so ProcessPending finding nothing is normal.
//
// Serving without a GUI: call ProcessPending() (or ServeUntil) from the owner
// thread whenever convenient; tests do exactly that.
//
// ClosePort serves the dispatcher while it waits for the monitor thread to
// end (ServeUntil), so closing never deadlocks against a pending hand-over.
// The owner thread is whichever thread serves; serve from one thread only.
class TEventDispatcher {
public:
    using TJob = std::function<void()>;
    using TWakeHook = std::function<void()>;
    using TExceptionHandler = std::function<void(std::exception_ptr)>;

    TEventDispatcher() = default;
    ~TEventDispatcher();
    TEventDispatcher(const TEventDispatcher&) = delete;
    TEventDispatcher& operator=(const TEventDispatcher&) = delete;

    // Set these before any port that uses the dispatcher opens.
    void SetWakeOwner(TWakeHook Hook);
    // The application's exception display; without one the message goes to
    // standard error. Runs on the owner thread.
    void SetExceptionHandler(TExceptionHandler Handler);

    // Monitor side -------------------------------------------------------
    // Runs Job on the owner thread and waits until it has run; rethrows its
    // exception here.
    void Send(TJob Job);
    // Waits until the owner thread has taken the message; Job then runs there.
    void SendMessage(TJob Job);
    // Queues Job for the owner thread without waiting.
    void Post(TJob Job);

    // Owner side ---------------------------------------------------------
    // Runs every job that is waiting, in arrival order, including jobs that
    // arrive meanwhile. Returns the number of jobs run. Never throws: an
    // exception of a Send job goes back to its sender, any other to the
    // exception handler.
    int ProcessPending();
    // Serves jobs until Done() is true; Done is checked whenever a job has
    // been served and whenever Wake() is called. It must not throw.
    void ServeUntil(const std::function<bool()>& Done);
    // Wakes a ServeUntil so that it checks its condition again.
    void Wake();
    // Whether jobs are waiting.
    bool HasPending() const;

    // Hands an exception to the exception display (owner thread).
    void ShowException(std::exception_ptr Error);

private:
    struct TItem;
    enum class TKind : std::uint8_t { Send, Message, Post };
    void Enqueue(const std::shared_ptr<TItem>& Item);
    void Run(const std::shared_ptr<TItem>& Item);

    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<std::shared_ptr<TItem>> FQueue;
    TWakeHook FWakeOwner;
    TExceptionHandler FExceptionHandler;
};

}  // namespace corvane
