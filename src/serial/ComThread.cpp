#include "ComThread.h"

#include <cerrno>
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
    // The mask is in place before the loop first waits.
    (void)FComPort.FDevice->SetCommMask(EventMaskFromEvents(FComPort.FEvents));
    FThread = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
    SignalStop();
    if (FThread.joinable()) {
        FDispatcher->ServeUntil([this] { return FFinished.load(); });
        FThread.join();
    }
}

void TComThread::SignalStop() {
    FStopEvent.Set();
    std::this_thread::yield();
}

void TComThread::Execute() {
    IComDevice& device = *FComPort.FDevice;
    try {
        for (;;) {
            std::uint32_t mask = 0;
            const int rc = device.WaitCommEvent(mask, FStopEvent);
            if (FStopEvent.IsSet()) break;
            if (rc == 0) {
                FFiredEvents = EventsFromEventMask(mask);
                DeliverEvents();
            } else if (rc != ECANCELED) {
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
    (void)device.SetCommMask(0);
    (void)device.PurgeComm(device::kPurgeTxClear | device::kPurgeRxClear);
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
    for (const auto& pair : kHandlerOrder) {
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
        if (!FFiredEvents.Contains(pair.Event)) continue;
        FDispatcher->SendMessage([window = FEventWindow, bit = pair.Mask] {
            if (window && window->Port != nullptr) {
                window->Port->HandlePortEventMessage(WM_PORTEVENT, bit, 0);
            }
        });
    }
}

}  // namespace corvane
