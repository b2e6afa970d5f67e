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

bool TQtEventDispatcher::event(QEvent* e) {
    if (e->type() == kServeEvent) {
        FDispatcher->ProcessPending();
        return true;
    }
    return QObject::event(e);
}

}  // namespace corvane
