#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "ChipKind.h"
#include "ProgrammerLink.h"
#include "ProgrammerView.h"

class QThread;

namespace corvane {

class TQtEventDispatcher;

// The options a workflow reads, taken on the GUI thread when the click comes.
struct TWorkflowOptions {
    bool FastVerifyEnabled = false;
    bool FastVerifyChecked = false;
    bool LockChecked = false;
    int MemSizeIndex = 0;
};

// What crosses between the GUI thread and the worker travels through Qt's
// queues, whose locking (futexes inside Qt) a thread checker cannot see; so
// each hand-over also passes this mutex: the sender posts under it, and the
// receiver takes it before it looks at what came.
struct THandOver {
    std::mutex Lock;
    template <typename F>
    void Emit(F&& emitIt) {
        std::lock_guard<std::mutex> lock(Lock);
        emitIt();
    }
    void Sync() { std::lock_guard<std::mutex> lock(Lock); }
};

// Lives on the worker thread and owns the programmer link there (and with it
// the port, the images and the chip kind). It is the link's view on that
// thread: what the link reports leaves as signals, which the runner delivers
// to the window through queued connections, in order; the options the link
// reads are the ones handed over with the command.
class TLinkWorker : public QObject, public IProgrammerView {
    Q_OBJECT
public:
    explicit TLinkWorker(std::shared_ptr<THandOver> handOver);
    ~TLinkWorker() override;

    TProgrammerLink& Link() { return *FLink; }

    // Queues a command for the worker thread (any thread); commands run in
    // the order they were queued.
    void Enqueue(std::function<void()> job);

    // The commands, run on the worker thread.
    void Poll(std::stop_token stop);
    void Program(const std::string& fileName, const TWorkflowOptions& options,
                 std::stop_token stop);
    void Read(const std::string& fileName, const TWorkflowOptions& options, std::stop_token stop);
    void ApplyMemSize(int index);
    // Closes the port and ends the thread's event loop.
    void Shutdown();
    // From now on, commands that have not begun are dropped (any thread).
    void Quit() { FQuitting = true; }

    // IProgrammerView, called by the link on the worker thread.
    void ShowStatus(const std::string& text) override;
    void RepaintStatus() override;
    void RepaintWindow() override;
    void SetProgressRange(int min, int max) override;
    void SetProgressPosition(int position) override;
    void ShowMessage(const std::string& text) override;
    void ShowWaitCursor() override;
    void RestoreCursor() override;
    void SetPollTimerEnabled(bool enabled) override;
    void ShowPortNotice(const std::string& text) override;
    bool FastVerifyEnabled() const override { return FOptions.FastVerifyEnabled; }
    bool FastVerifyChecked() const override { return FOptions.FastVerifyChecked; }
    bool LockChecked() const override { return FOptions.LockChecked; }
    int MemSizeIndex() const override { return FOptions.MemSizeIndex; }

public slots:
    // Runs the next queued command.
    void RunNext();

signals:
    void StatusShown(const QByteArray& text);
    void ProgressRangeSet(int min, int max);
    // The bar's position, at most every kProgressGap (and at once when it
    // goes back or reaches the end of the range).
    void ProgressPositionSet(int position);
    // Every position the link reports, the moment it does (for a watcher on
    // the worker thread; the window takes ProgressPositionSet).
    void PositionReached(int position);
    // Delivered with a blocking queued connection: the worker waits until
    // the box has been closed.
    void MessageAsked(const QByteArray& text);
    void WaitCursorShown();
    void CursorRestored();
    void PollTimerSwitched(bool enabled);
    // Why ports were skipped or refused (the status line's tooltip).
    void PortNoticeShown(const QByteArray& text);
    // A poll has ended with this chip kind.
    void PollEnded(int kind);
    // A workflow has ended; `failed` with the message of the exception that ended it.
    void WorkflowEnded(bool failed, const QString& message);
    // An exception of the port's event handling (not a port error).
    void ErrorRaised(const QString& message);

private:
    void Workflow(const std::function<void()>& run, const TWorkflowOptions& options);
    // Gives the window the progress position still held back, if any.
    void FlushProgress();
    std::shared_ptr<THandOver> FHandOver;
    std::deque<std::function<void()>> FCommands;  // under FHandOver->Lock
    TQtEventDispatcher* FDispatcher;
    std::unique_ptr<TProgrammerLink> FLink;
    TWorkflowOptions FOptions;
    std::atomic<bool> FQuitting{false};
    // A pass reports every byte; the window is woken for the bar no more
    // often than a screen shows pictures.
    static constexpr std::chrono::milliseconds kProgressGap{20};
    int FProgressMax = 0;
    int FShownPosition = 0;
    std::optional<int> FPendingPosition;
    std::chrono::steady_clock::time_point FLastProgress{};
};

// The GUI thread's side: starts the worker thread, hands it commands as
// queued calls, and delivers what the worker reports to `view` (the window)
// on the GUI thread. Nothing here waits on the line.
class TLinkRunner : public QObject {
public:
    using TPollEnded = std::function<void(TChipKind kind)>;
    using TWorkflowEnded = std::function<void(bool failed, const QString& message)>;

    TLinkRunner(IProgrammerView& view, TPollEnded pollEnded, TWorkflowEnded workflowEnded);
    ~TLinkRunner() override;

    void Poll();
    void Program(const std::string& fileName, const TWorkflowOptions& options);
    void Read(const std::string& fileName, const TWorkflowOptions& options);
    void ApplyMemSize(int index);
    // Asks the command under way and those queued (a Send or Read, a poll's
    // wait) to stop at the next byte.
    void RequestStop();
    // Stops the work, lets the link put the board back at its prompt, closes
    // the port and ends the worker thread. The window's reports that are
    // still on their way are dropped, a message box is not shown.
    void Shutdown();
    bool Running() const;

    // Runs `job` on the worker thread and waits for it (tests; never while
    // the worker is on the line).
    void Call(const std::function<void(TProgrammerLink&)>& job);
    // The link, for looking at it while the worker is idle.
    TProgrammerLink& Link() { return FWorker->Link(); }
    // The worker, whose signals a test may watch on the worker thread.
    TLinkWorker& Worker() { return *FWorker; }

private:
    void Post(std::function<void()> job);
    // A stop of its own for a command that is queued now.
    std::stop_token NewStop();

    IProgrammerView& FView;
    TPollEnded FPollEnded;
    TWorkflowEnded FWorkflowEnded;
    std::shared_ptr<THandOver> FHandOver;
    QThread* FThread;
    TLinkWorker* FWorker;
    // The stops of the commands queued and not yet ended, oldest first.
    std::deque<std::stop_source> FStops;
    bool FShuttingDown = false;
};

}  // namespace corvane
