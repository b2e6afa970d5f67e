#include "QtEventDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <mutex>

#include "Application.h"

namespace corvane {

namespace {

const QEvent::Type kServeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

// What the wake hook posts to. The hook may run on the monitor thread at any
// time, so the receiver is reached only under the lock and is gone (null) once
// the bridge has been destroyed.
struct TQtEventDispatcher::TWakeTarget {
    std::mutex Lock;
    QObject* Receiver = nullptr;
};

TQtEventDispatcher::TQtEventDispatcher(QObject* parent)
    : QObject(parent),
      FDispatcher(std::make_shared<TEventDispatcher>()),
      FWakeTarget(std::make_shared<TWakeTarget>()) {
    FWakeTarget->Receiver = this;
    FDispatcher->SetWakeOwner([target = FWakeTarget] {
        std::lock_guard<std::mutex> lock(target->Lock);
        if (target->Receiver != nullptr) {
            QCoreApplication::postEvent(target->Receiver, new QEvent(kServeEvent));
        }
    });
    FDispatcher->SetExceptionHandler(
        [](std::exception_ptr error) { TApplication::HandleException(std::move(error)); });
}

TQtEventDispatcher::~TQtEventDispatcher() {
    {
        std::lock_guard<std::mutex> lock(FWakeTarget->Lock);
        FWakeTarget->Receiver = nullptr;
    }
    FDispatcher->SetWakeOwner(nullptr);
}

void TQtEventDispatcher::customEvent(QEvent* /*e*/) {
    // The event was made on the monitor thread and reached this thread through
    // Qt's queue, whose locking a thread checker cannot see inside Qt; it is
    // not looked at here: its arrival is the whole message.
    FDispatcher->ProcessPending();
}

}  // namespace corvane
