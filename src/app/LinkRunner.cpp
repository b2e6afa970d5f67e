#include "LinkRunner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>
#include <exception>
#include <utility>

#include "Application.h"
#include "QtEventDispatcher.h"

namespace corvane {

namespace {

QByteArray Bytes(const std::string& text) {
    return {text.data(), static_cast<qsizetype>(text.size())};
}

std::string Text(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

}  // namespace

TLinkWorker::TLinkWorker()
    : FDispatcher(new TQtEventDispatcher(this)), FLink(std::make_unique<TProgrammerLink>(*this)) {
    FLink->ComPort().SetDispatcher(FDispatcher->Dispatcher());
    // The window handles none of the port's events and reads the port itself.
    // What its monitor still reads on an arrival (the input queue, the line
    // errors) fails only when the line has gone; the monitor then ends with
    // that port error, and the link meets the same loss at its next exchange,
    // where a poll turns it into "no programmer" without a box. So the
    // monitor's port error is only noted; anything else is shown as usual.
    FDispatcher->Dispatcher()->SetExceptionHandler([this](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const EComPort& e) {
            std::fprintf(stderr, "corvane: event monitor ended: %s\n", e.what());
        } catch (...) {
            emit ErrorRaised(TApplication::ExceptionMessage(std::current_exception()));
        }
    });
}

TLinkWorker::~TLinkWorker() = default;

void TLinkWorker::Poll() {
    if (FQuitting) return;
    try {
        FLink->PollProgrammer();
    } catch (...) {
        emit ErrorRaised(TApplication::ExceptionMessage(std::current_exception()));
    }
    FlushProgress();
    emit PollEnded(FLink->ChipKind());
}

void TLinkWorker::Workflow(const std::function<void()>& run, const TWorkflowOptions& options) {
    if (FQuitting) return;
    FOptions = options;
    bool failed = false;
    QString message;
    try {
        run();
    } catch (...) {
        failed = true;
        message = TApplication::ExceptionMessage(std::current_exception());
    }
    FlushProgress();
    emit WorkflowEnded(failed, message);
}

void TLinkWorker::Program(const std::string& fileName, const TWorkflowOptions& options) {
    Workflow([&] { FLink->ProgramFromFile(fileName); }, options);
}

void TLinkWorker::Read(const std::string& fileName, const TWorkflowOptions& options) {
    Workflow([&] { FLink->ReadToFile(fileName); }, options);
}

void TLinkWorker::ApplyMemSize(int index) {
    FOptions.MemSizeIndex = index;
    FLink->ApplyMemSizeChoice();
}

void TLinkWorker::Shutdown() {
    // Closes the port (serving the dispatcher while the monitor ends).
    FLink.reset();
    // Handed back to the GUI thread, which deletes it once this thread has ended.
    moveToThread(QCoreApplication::instance()->thread());
    QThread::currentThread()->quit();
}

void TLinkWorker::ShowStatus(const std::string& text) {
    FlushProgress();
    emit StatusShown(Bytes(text));
}

// The GUI thread is free to paint whenever something changed: a repaint
// asked for by the link needs nothing more.
void TLinkWorker::RepaintStatus() {}

void TLinkWorker::RepaintWindow() {}

void TLinkWorker::FlushProgress() {
    if (!FPendingPosition) return;
    FShownPosition = *std::exchange(FPendingPosition, std::nullopt);
    FLastProgress = std::chrono::steady_clock::now();
    emit ProgressPositionSet(FShownPosition);
}

void TLinkWorker::SetProgressRange(int min, int max) {
    FlushProgress();
    FProgressMax = max;
    FShownPosition = min - 1;
    emit ProgressRangeSet(min, max);
}

void TLinkWorker::SetProgressPosition(int position) {
    emit PositionReached(position);
    const auto now = std::chrono::steady_clock::now();
    if (position > FShownPosition && position < FProgressMax &&
        now - FLastProgress < kProgressGap) {
        FPendingPosition = position;
        return;
    }
    FPendingPosition.reset();
    FShownPosition = position;
    FLastProgress = now;
    emit ProgressPositionSet(position);
}

void TLinkWorker::ShowMessage(const std::string& text) {
    FlushProgress();
    emit MessageAsked(Bytes(text));
}

void TLinkWorker::ShowWaitCursor() {
    FlushProgress();
    emit WaitCursorShown();
}

void TLinkWorker::RestoreCursor() {
    FlushProgress();
    emit CursorRestored();
}

void TLinkWorker::SetPollTimerEnabled(bool enabled) {
    FlushProgress();
    emit PollTimerSwitched(enabled);
}

TLinkRunner::TLinkRunner(IProgrammerView& view, TPollEnded pollEnded, TWorkflowEnded workflowEnded)
    : FView(view),
      FPollEnded(std::move(pollEnded)),
      FWorkflowEnded(std::move(workflowEnded)),
      FThread(new QThread(this)),
      FWorker(new TLinkWorker),
      FStopTarget(&FWorker->Link()) {
    FThread->setObjectName(QStringLiteral("programmer link"));
    // Every report is delivered on this (the GUI) thread in the order it was
    // made; once the runner shuts down, reports still on their way are dropped.
    const auto queued = Qt::QueuedConnection;
    connect(
        FWorker, &TLinkWorker::StatusShown, this,
        [this](const QByteArray& text) {
            if (!FShuttingDown) FView.ShowStatus(Text(text));
        },
        queued);
    connect(
        FWorker, &TLinkWorker::ProgressRangeSet, this,
        [this](int min, int max) {
            if (!FShuttingDown) FView.SetProgressRange(min, max);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::ProgressPositionSet, this,
        [this](int position) {
            if (!FShuttingDown) FView.SetProgressPosition(position);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::MessageAsked, this,
        [this](const QByteArray& text) {
            if (!FShuttingDown) FView.ShowMessage(Text(text));
        },
        Qt::BlockingQueuedConnection);
    connect(
        FWorker, &TLinkWorker::WaitCursorShown, this,
        [this] {
            if (!FShuttingDown) FView.ShowWaitCursor();
        },
        queued);
    connect(
        FWorker, &TLinkWorker::CursorRestored, this,
        [this] {
            if (!FShuttingDown) FView.RestoreCursor();
        },
        queued);
    connect(
        FWorker, &TLinkWorker::PollTimerSwitched, this,
        [this](bool enabled) {
            if (!FShuttingDown) FView.SetPollTimerEnabled(enabled);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::PollEnded, this,
        [this](int kind) {
            if (!FShuttingDown && FPollEnded) FPollEnded(static_cast<TChipKind>(kind));
        },
        queued);
    connect(
        FWorker, &TLinkWorker::WorkflowEnded, this,
        [this](bool failed, const QString& message) {
            if (!FShuttingDown && FWorkflowEnded) FWorkflowEnded(failed, message);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::ErrorRaised, this,
        [this](const QString& message) {
            if (!FShuttingDown) TApplication::ShowError(message);
        },
        queued);

    FWorker->moveToThread(FThread);
    FThread->start();
}

TLinkRunner::~TLinkRunner() {
    Shutdown();
}

void TLinkRunner::Post(std::function<void()> job) {
    QMetaObject::invokeMethod(FWorker, std::move(job), Qt::QueuedConnection);
}

void TLinkRunner::Poll() {
    Post([w = FWorker] { w->Poll(); });
}

void TLinkRunner::Program(const std::string& fileName, const TWorkflowOptions& options) {
    Post([w = FWorker, fileName, options] { w->Program(fileName, options); });
}

void TLinkRunner::Read(const std::string& fileName, const TWorkflowOptions& options) {
    Post([w = FWorker, fileName, options] { w->Read(fileName, options); });
}

void TLinkRunner::ApplyMemSize(int index) {
    Post([w = FWorker, index] { w->ApplyMemSize(index); });
}

void TLinkRunner::RequestStop() {
    FStopTarget->RequestStop();
}

bool TLinkRunner::Running() const {
    return FThread->isRunning();
}

void TLinkRunner::Shutdown() {
    if (FWorker == nullptr) return;
    FShuttingDown = true;
    // Commands still queued do not begin; the one under way stops.
    FWorker->Quit();
    RequestStop();
    Post([w = FWorker] { w->Shutdown(); });
    // A message box the worker asked for waits for this thread: serve it
    // (it is dropped now) until the worker has ended.
    while (!FThread->wait(QDeadlineTimer(20))) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    delete FWorker;
    FWorker = nullptr;
}

void TLinkRunner::Call(const std::function<void(TProgrammerLink&)>& job) {
    std::exception_ptr error;
    QMetaObject::invokeMethod(
        FWorker,
        [&] {
            try {
                job(FWorker->Link());
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error) std::rethrow_exception(error);
}

}  // namespace corvane
