#pragma once

#include <functional>
#include <memory>

namespace corvane::platform {

// The system's requests that the program end: SIGTERM (`kill`, a logout),
// SIGHUP (the terminal that started the program closed) and SIGINT (Ctrl+C in
// that terminal); on Windows, the control events of its console. While an
// object lives, each request is handed to the handler on a thread of the
// object's own (never in a signal handler), with the exit status it stands
// for (128 + the signal's number: 143, 129, 130), instead of ending the
// program. One object at a time. On Windows a closed console, a logoff or a
// shutdown ends the process as soon as the system's call returns: that
// thread is held until the program ends, or the system's time (some seconds)
// is up.
class TStopRequests {
public:
    using THandler = std::function<void(int exitStatus)>;

    // Takes the requests from now on. Create it before any other thread is
    // started: the signals are then taken by its thread alone, and no system
    // call of another thread (the port's) is ever cut short by one.
    TStopRequests();
    // The system's own handling again.
    ~TStopRequests();
    TStopRequests(const TStopRequests&) = delete;
    TStopRequests& operator=(const TStopRequests&) = delete;

    // From now on each request goes to `handler` (on the object's thread);
    // the first one that came while there was none is handed on at once. An
    // empty handler holds the requests again; once it returns, the handler
    // given before is no longer running.
    void SetHandler(THandler handler);

private:
    struct TState;
    std::unique_ptr<TState> FState;
};

}  // namespace corvane::platform
