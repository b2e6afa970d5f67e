#include "ComThread.h"

#include <utility>

namespace corvane {

namespace {

struct TMaskPair {
    TComEvent Event;
    std::uint32_t Mask;
};

// In the order the handlers run: errors first (reading the line errors
// clears them), received characters second.
constexpr TMaskPair kHandlerOrder[] = {
    {evError, device::kEvErr},       {evRxChar, device::kEvRxChar},
    {evTxEmpty, device::kEvTxEmpty}, {evBreak, device::kEvBreak},
    {evRing, device::kEvRing},       {evCTS, device::kEvCts},
    {evDSR, device::kEvDsr},         {evRxFlag, device::kEvRxFlag},
    {evRLSD, device::kEvRlsd},       {evRx80Full, device::kEvRx80Full},
};

}  // namespace

std::uint32_t EventMaskFromEvents(TComEvents Events) {
    std::uint32_t mask = 0;
    for (const auto& pair : kHandlerOrder) {
        if (Events.Contains(pair.Event)) mask |= pair.Mask;
    }
    return mask;
}

TComEvents EventsFromEventMask(std::uint32_t Mask) {
    TComEvents events;
    for (const auto& pair : kHandlerOrder) {
        if ((Mask & pair.Mask) != 0) events.Include(pair.Event);
    }
    return events;
}

TComThread::TComThread(TCustomComPort& Port)
    : FComPort(Port),
      FDispatcher(Port.FDispatcher),
      FEventWindow(Port.FEventWindow),
      FSyncMethod(Port.FSyncMethod) {
    // Without its stop signal the loop could never be ended.
    if (int err = FStopEvent.Error()) throw EComPort(errOpenPort, err);
    // The mask is in place before the loop first waits.
    (void)FComPort.FDevice->SetCommMask(EventMaskFromEvents(FComPort.FEvents));
    FThread = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
    SignalStop();
    Start();  // a thread that never started runs straight into the stop
    Join();
}

void TComThread::Start() {
    {
        std::lock_guard lock(FStartMutex);
        FStarted = true;
    }
    FStartChanged.notify_all();
}

void TComThread::SignalStop() {
    FStopEvent.Set();
    std::this_thread::yield();
}

void TComThread::Retire() {
    FRetired.store(true);
    SignalStop();
}

void TComThread::Join() {
    if (!FThread.joinable()) return;
    FDispatcher->ServeUntil([this] { return FFinished.load(); });
    FThread.join();
}

void TComThread::Execute() {
    {
        std::unique_lock lock(FStartMutex);
        FStartChanged.wait(lock, [this] { return FStarted; });
    }
    IComDevice& device = *FComPort.FDevice;
    bool stopped = false;
    try {
        for (;;) {
            std::uint32_t mask = 0;
            // Stopped while it delivered (a handler closed, or reopened, the
            // port): no further wait on the device.
            const int rc = FStopEvent.IsSet() ? 0 : device.WaitCommEvent(mask, FStopEvent);
            if (FStopEvent.IsSet()) {
                stopped = true;
                break;
            }
            if (rc == 0) {
                FFiredEvents = EventsFromEventMask(mask);
                DeliverEvents();
            } else if (device::ErrorKind(rc) != device::TErrorKind::Cancelled) {
                break;  // a failed wait ends the loop
            }
            // An abort of outstanding requests drops the wake-up.
        }
    } catch (...) {
        // The exception ends the monitor; the port stays open and can be
        // closed as usual. The owner thread hears of it through the
        // dispatcher's exception display.
        FFailure = std::current_exception();
        FDispatcher->Post([error = FFailure] { std::rethrow_exception(error); });
    }
    // Retired by a close from inside its own hand-over, the monitor leaves
    // the device alone: that close has cleaned up and released it already.
    if (!FRetired.load()) {
        (void)device.SetCommMask(0);
        // Only the port's close discards the queues. A monitor that ends on
        // its own (a handler threw, the wait failed) leaves the port open,
        // and what has arrived stays there to be read.
        if (stopped) {
            (void)device.PurgeComm(device::kPurgeTxClear | device::kPurgeRxClear);
            FCleanedUp.store(true);
        }
    }
    FFinished.store(true);
    FDispatcher->Wake();
}

void TComThread::DeliverEvents() {
    switch (FSyncMethod) {
        case smThreadSync:
            FDispatcher->Send([this] { RunEventHandlers(); });
            break;
        case smWindowSync:
            SendEventMessages();
            break;
        case smNone:
            RunEventHandlers();
            break;
    }
}

void TComThread::RunEventHandlers() {
    const TCustomComPort::THandlerScope scope(FComPort);
    for (const auto& pair : kHandlerOrder) {
        // A handler closed the port: the rest of the wake-up is dropped.
        if (FRetired.load()) return;
        if (!FFiredEvents.Contains(pair.Event)) continue;
        switch (pair.Event) {
            case evError:
                FComPort.HandleError();
                break;
            case evRxChar:
                FComPort.HandleRxChar();
                break;
            case evTxEmpty:
                FComPort.HandleTxEmpty();
                break;
            case evBreak:
                FComPort.HandleBreak();
                break;
            case evRing:
                FComPort.HandleRing();
                break;
            case evCTS:
                FComPort.HandleCTSChange();
                break;
            case evDSR:
                FComPort.HandleDSRChange();
                break;
            case evRxFlag:
                FComPort.HandleRxFlag();
                break;
            case evRLSD:
                FComPort.HandleRLSDChange();
                break;
            case evRx80Full:
                FComPort.HandleRx80Full();
                break;
        }
    }
}

void TComThread::SendEventMessages() {
    for (const auto& pair : kHandlerOrder) {
        // Once the port closes nothing more is handed over.
        if (FStopEvent.IsSet()) return;
        if (!FFiredEvents.Contains(pair.Event)) continue;
        FDispatcher->SendMessage([window = FEventWindow, bit = pair.Mask] {
            if (window && window->Port != nullptr) {
                window->Port->HandlePortEventMessage(WM_PORTEVENT, bit, 0);
            }
        });
    }
}

}  // namespace corvane
