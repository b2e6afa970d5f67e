#pragma once

#include <QObject>
#include <memory>

#include "EventDispatcher.h"

namespace corvane {

// Serves a serial port's event dispatcher from Qt's event loop: every job the
// monitor thread hands over wakes the GUI thread through a posted event, and
// the GUI thread then runs what is waiting. Exceptions the dispatcher cannot
// give back to a sender go to the application's standard error display.
//
// The bridge must live on the thread that owns the ports (the GUI thread).
// Destroying it detaches it from the dispatcher; jobs still waiting are then
// served by whoever serves the dispatcher next (ClosePort does).
class TQtEventDispatcher : public QObject {
public:
    explicit TQtEventDispatcher(QObject* parent = nullptr);
    ~TQtEventDispatcher() override;

    const std::shared_ptr<TEventDispatcher>& Dispatcher() const { return FDispatcher; }

protected:
    // The serve events: the only events of a user type this object gets.
    void customEvent(QEvent* e) override;

private:
    struct TWakeTarget;
    std::shared_ptr<TEventDispatcher> FDispatcher;
    std::shared_ptr<TWakeTarget> FWakeTarget;
};

}  // namespace corvane
