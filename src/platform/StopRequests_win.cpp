#include <windows.h>

#include "RequestRelay.h"
#include "StopRequests.h"

namespace corvane::platform {

namespace {

// The relay that the console's control handler reaches (one object at a time).
TRequestRelay* gRelay = nullptr;

// After a closed console, a logoff or a shutdown the system ends the process
// as soon as the handler returns, or when its time is up (some seconds),
// whatever the program does. The handler's thread therefore stays here: the
// program's own end (its exit) ends it, so that the work in hand can finish
// within the time the system gives.
[[noreturn]] void HoldUntilTheEnd() {
    for (;;) Sleep(INFINITE);
}

// The system calls this on a thread of its own. Ctrl+C and Ctrl+Break stand
// for SIGINT, a closed console for SIGHUP, a logoff or shutdown for SIGTERM.
BOOL WINAPI OnControl(DWORD event) {
    if (gRelay == nullptr) return FALSE;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            gRelay->Request(128 + 2);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            gRelay->Request(128 + 1);
            HoldUntilTheEnd();
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            gRelay->Request(128 + 15);
            HoldUntilTheEnd();
        default:
            return FALSE;
    }
}

}  // namespace

struct TStopRequests::TState {
    TRequestRelay Relay;
};

TStopRequests::TStopRequests() : FState(std::make_unique<TState>()) {
    gRelay = &FState->Relay;
    SetConsoleCtrlHandler(OnControl, TRUE);
}

TStopRequests::~TStopRequests() {
    SetConsoleCtrlHandler(OnControl, FALSE);
    gRelay = nullptr;
}

void TStopRequests::SetHandler(THandler handler) {
    FState->Relay.SetHandler(std::move(handler));
}

}  // namespace corvane::platform
