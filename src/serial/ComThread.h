#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "CPort.h"

namespace corvane {

// The hidden event window of smWindowSync: messages reach the port through
// it for as long as it exists. Only the owner thread touches Port.
class TEventWindow {
public:
    explicit TEventWindow(TCustomComPort* port) : Port(port) {}
    TCustomComPort* Port;
};

// The event monitor of an open port: waits for the line events that the
// port watches and delivers each wake-up to the port's handlers by the
// port's SyncMethod.
class TComThread {
public:
    // Sets the device's event mask from the port's Events and makes the
    // thread, which waits until Start. Throws EComPort errOpenPort when its
    // stop signal cannot be made, std::system_error when no thread can be made.
    explicit TComThread(TCustomComPort& Port);
    // Lets the thread run, once the port has recorded it as its monitor (a
    // handler that closes the port may run on it at once, with smNone).
    void Start();
    // Signals the stop and joins (see Join).
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void SignalStop();
    // For a close from inside one of this monitor's own hand-overs: the
    // monitor runs no further handler, hands nothing more over and leaves
    // the device alone (the close cleans up), then ends. Signals the stop.
    void Retire();
    // Waits for the thread to end, serving the port's dispatcher meanwhile
    // so that a pending hand-over can finish. Never from the thread itself.
    void Join();
    const device::TStopSignal& StopEvent() const { return FStopEvent; }
    // The events of the last completed wait.
    TComEvents FiredEvents() const { return FFiredEvents; }
    bool Finished() const { return FFinished.load(); }
    // The exception that ended the loop, if one did; read it once Finished.
    std::exception_ptr Failure() const { return FFailure; }
    // Whether its way out, on a stop, cleared the event mask and discarded
    // the driver's queues; read it once Finished.
    bool CleanedUp() const { return FCleanedUp.load(); }

    void DeliverEvents();
    void RunEventHandlers();
    void SendEventMessages();

private:
    void Execute();

    TCustomComPort& FComPort;
    device::TStopSignal FStopEvent;
    TComEvents FFiredEvents;
    std::shared_ptr<TEventDispatcher> FDispatcher;
    std::shared_ptr<TEventWindow> FEventWindow;
    TSyncMethod FSyncMethod;
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FRetired{false};
    std::mutex FStartMutex;
    std::condition_variable FStartChanged;
    bool FStarted = false;
    std::atomic<bool> FCleanedUp{false};
    std::exception_ptr FFailure;
    std::thread FThread;
};

}  // namespace corvane
