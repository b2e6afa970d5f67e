#pragma once

namespace corvane {

// What the main window asks of a station it hosts (StationView.h): while one
// is active the window neither polls nor starts work of its own, and its
// close, Escape and the system's requests go to the station first.
class IWindowStation {
public:
    virtual ~IWindowStation() = default;

    enum class TClose {
        Wait,     // the station stops; the window closes once its chips are done
        Close,    // nothing runs any more: the window may close
        Abandon,  // asked again while stopping: closes at once, chips left as they are
    };

    // From its start until the view goes back to the one-chip window.
    virtual bool Active() const = 0;
    // From its start until its chips are done (the totals show then).
    virtual bool Running() const = 0;
    // A close of the window. (The window passes on a request of the system
    // only when no close waits yet: only the user's second close abandons.)
    virtual TClose CloseAsked() = 0;
    virtual void EscapePressed() = 0;
};

}  // namespace corvane
