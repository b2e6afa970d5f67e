#include "LinkRunner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>
#include <exception>
#include <future>
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

TLinkWorker::TLinkWorker(std::shared_ptr<THandOver> handOver)
    : FHandOver(std::move(handOver)),
      FDispatcher(new TQtEventDispatcher(this)),
      FLink(std::make_unique<TProgrammerLink>(*this)) {
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
            FHandOver->Emit([&] {
                emit ErrorRaised(TApplication::ExceptionMessage(std::current_exception()));
            });
        }
    });
}

TLinkWorker::~TLinkWorker() = default;

void TLinkWorker::Enqueue(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(FHandOver->Lock);
        FCommands.push_back(std::move(job));
    }
    // By name: the call carries nothing but the wake-up.
    QMetaObject::invokeMethod(this, "RunNext", Qt::QueuedConnection);
}

void TLinkWorker::RunNext() {
    std::function<void()> job;
    {
        std::lock_guard<std::mutex> lock(FHandOver->Lock);
        if (FCommands.empty()) return;
        job = std::move(FCommands.front());
        FCommands.pop_front();
    }
    job();
}

void TLinkWorker::Poll(std::stop_token stop) {
    if (FQuitting) return;
    try {
        FLink->PollProgrammer(std::move(stop));
    } catch (...) {
        FHandOver->Emit(
            [&] { emit ErrorRaised(TApplication::ExceptionMessage(std::current_exception())); });
    }
    FlushProgress();
    FHandOver->Emit([&] { emit PollEnded(FLink->ChipKind()); });
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
    FHandOver->Emit([&] { emit WorkflowEnded(failed, message); });
}

void TLinkWorker::Program(const std::string& fileName, const TWorkflowOptions& options,
                          std::stop_token stop) {
    Workflow([&] { FLink->ProgramFromFile(fileName, std::move(stop)); }, options);
}

void TLinkWorker::Read(const std::string& fileName, const TWorkflowOptions& options,
                       std::stop_token stop) {
    Workflow([&] { FLink->ReadToFile(fileName, std::move(stop)); }, options);
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
    FHandOver->Sync();
}

void TLinkWorker::ShowStatus(const std::string& text) {
    FlushProgress();
    FHandOver->Emit([&] { emit StatusShown(Bytes(text)); });
}

void TLinkWorker::ShowPortNotice(const std::string& text) {
    FHandOver->Emit([&] { emit PortNoticeShown(Bytes(text)); });
}

// The GUI thread is free to paint whenever something changed: a repaint
// asked for by the link needs nothing more.
void TLinkWorker::RepaintStatus() {}

void TLinkWorker::RepaintWindow() {}

void TLinkWorker::FlushProgress() {
    if (!FPendingPosition) return;
    FShownPosition = *std::exchange(FPendingPosition, std::nullopt);
    FLastProgress = std::chrono::steady_clock::now();
    FHandOver->Emit([&] { emit ProgressPositionSet(FShownPosition); });
}

void TLinkWorker::SetProgressRange(int min, int max) {
    FlushProgress();
    FProgressMax = max;
    FShownPosition = min - 1;
    FHandOver->Emit([&] { emit ProgressRangeSet(min, max); });
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
    FHandOver->Emit([&] { emit ProgressPositionSet(position); });
}

void TLinkWorker::ShowMessage(const std::string& text) {
    FlushProgress();
    const QByteArray message = Bytes(text);
    FHandOver->Sync();
    emit MessageAsked(message);
    FHandOver->Sync();
}

void TLinkWorker::ShowWaitCursor() {
    FlushProgress();
    FHandOver->Emit([&] { emit WaitCursorShown(); });
}

void TLinkWorker::RestoreCursor() {
    FlushProgress();
    FHandOver->Emit([&] { emit CursorRestored(); });
}

void TLinkWorker::SetPollTimerEnabled(bool enabled) {
    FlushProgress();
    FHandOver->Emit([&] { emit PollTimerSwitched(enabled); });
}

TLinkRunner::TLinkRunner(IProgrammerView& view, TPollEnded pollEnded, TWorkflowEnded workflowEnded)
    : FView(view),
      FPollEnded(std::move(pollEnded)),
      FWorkflowEnded(std::move(workflowEnded)),
      FHandOver(std::make_shared<THandOver>()),
      FThread(new QThread(this)),
      FWorker(new TLinkWorker(FHandOver)) {
    FThread->setObjectName(QStringLiteral("programmer link"));
    // Every report is delivered on this (the GUI) thread in the order it was
    // made; once the runner shuts down, reports still on their way are dropped.
    const auto queued = Qt::QueuedConnection;
    connect(
        FWorker, &TLinkWorker::StatusShown, this,
        [this](const QByteArray& text) {
            FHandOver->Sync();
            if (!FShuttingDown) FView.ShowStatus(Text(text));
        },
        queued);
    connect(
        FWorker, &TLinkWorker::PortNoticeShown, this,
        [this](const QByteArray& text) {
            FHandOver->Sync();
            if (!FShuttingDown) FView.ShowPortNotice(Text(text));
        },
        queued);
    connect(
        FWorker, &TLinkWorker::ProgressRangeSet, this,
        [this](int min, int max) {
            FHandOver->Sync();
            if (!FShuttingDown) FView.SetProgressRange(min, max);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::ProgressPositionSet, this,
        [this](int position) {
            FHandOver->Sync();
            if (!FShuttingDown) FView.SetProgressPosition(position);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::MessageAsked, this,
        [this](const QByteArray& text) {
            FHandOver->Sync();
            if (!FShuttingDown) FView.ShowMessage(Text(text));
            FHandOver->Sync();
        },
        Qt::BlockingQueuedConnection);
    connect(
        FWorker, &TLinkWorker::WaitCursorShown, this,
        [this] {
            FHandOver->Sync();
            if (!FShuttingDown) FView.ShowWaitCursor();
        },
        queued);
    connect(
        FWorker, &TLinkWorker::CursorRestored, this,
        [this] {
            FHandOver->Sync();
            if (!FShuttingDown) FView.RestoreCursor();
        },
        queued);
    connect(
        FWorker, &TLinkWorker::PollTimerSwitched, this,
        [this](bool enabled) {
            FHandOver->Sync();
            if (!FShuttingDown) FView.SetPollTimerEnabled(enabled);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::PollEnded, this,
        [this](int kind) {
            FHandOver->Sync();
            if (!FStops.empty()) FStops.pop_front();
            if (!FShuttingDown && FPollEnded) FPollEnded(static_cast<TChipKind>(kind));
        },
        queued);
    connect(
        FWorker, &TLinkWorker::WorkflowEnded, this,
        [this](bool failed, const QString& message) {
            FHandOver->Sync();
            if (!FStops.empty()) FStops.pop_front();
            if (!FShuttingDown && FWorkflowEnded) FWorkflowEnded(failed, message);
        },
        queued);
    connect(
        FWorker, &TLinkWorker::ErrorRaised, this,
        [this](const QString& message) {
            FHandOver->Sync();
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
    FWorker->Enqueue(std::move(job));
}

std::stop_token TLinkRunner::NewStop() {
    // Each queued poll and workflow ends with exactly one report (PollEnded,
    // WorkflowEnded), which retires the oldest stop.
    FStops.emplace_back();
    return FStops.back().get_token();
}

void TLinkRunner::Poll() {
    Post([w = FWorker, stop = NewStop()] { w->Poll(stop); });
}

void TLinkRunner::Program(const std::string& fileName, const TWorkflowOptions& options) {
    Post([w = FWorker, fileName, options, stop = NewStop()] {
        w->Program(fileName, options, stop);
    });
}

void TLinkRunner::Read(const std::string& fileName, const TWorkflowOptions& options) {
    Post([w = FWorker, fileName, options, stop = NewStop()] { w->Read(fileName, options, stop); });
}

void TLinkRunner::ApplyMemSize(int index) {
    Post([w = FWorker, index] { w->ApplyMemSize(index); });
}

void TLinkRunner::RequestStop() {
    for (std::stop_source& stop : FStops) stop.request_stop();
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
    FHandOver->Sync();
    delete FWorker;
    FWorker = nullptr;
}

void TLinkRunner::Call(const std::function<void(TProgrammerLink&)>& job) {
    // A queued job and a future rather than a blocking queued call: the
    // wait is then one that a thread checker sees.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> result = done->get_future();
    Post([w = FWorker, &job, done] {
        try {
            job(w->Link());
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    });
    result.get();
}

}  // namespace corvane
