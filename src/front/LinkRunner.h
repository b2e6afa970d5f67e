#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "ChipKind.h"
#include "GuiQueue.h"
#include "Outcome.h"
#include "ProbeBoard.h"
#include "ProgrammerLink.h"
#include "ProgrammerView.h"

namespace corvane {

class TEventDispatcher;

// The options a workflow reads, taken on the GUI thread when the click comes.
struct TWorkflowOptions {
    bool FastVerifyEnabled = false;
    bool FastVerifyChecked = false;
    bool LockChecked = false;
    int MemSizeIndex = 0;
};

// How a Send or a Read ended: the link's outcome, or the exception that ended
// it (`Failed`, with its message).
struct TWorkflowEnd {
    TOutcome Outcome;
    bool Failed = false;
    std::string Message;
};

// The text shown for an exception: its what(), or "Unknown exception".
std::string ExceptionMessage(std::exception_ptr error);

// The window's worker: a thread of its own that owns the programmer link (and
// with it the port, the images and the chip kind), so that the GUI thread
// never waits on the line. The GUI thread queues commands; each runs on the
// worker in turn with a stop of its own. Between commands the worker serves
// the port's event dispatcher (the monitor hands its events to the thread
// that owns the port). What the link reports goes through `gui` to the
// GUI-thread view, in order; a message box the link asks for blocks the
// worker until it has been closed, never the GUI thread. Progress positions
// reach the GUI no more often than a screen shows pictures.
//
// Every member function is for the GUI thread, unless it says otherwise.
class TLinkRunner {
public:
    struct TReports {
        // Gets the link's reports on the GUI thread (status, bar, cursor,
        // timer, message box, port notice).
        IProgrammerView* View = nullptr;
        // A poll has ended with this chip kind.
        std::function<void(TChipKind kind)> PollEnded;
        // A Send or Read has ended.
        std::function<void(const TWorkflowEnd& end)> WorkflowEnded;
        // An exception of a poll, of another command that has no end of
        // its own to report (the size choice), or of the port's event
        // handling (not the line's loss, which the next poll meets as "no
        // programmer").
        std::function<void(const std::string& message)> ErrorRaised;
    };
    // What the link reports, on the worker thread the moment it does (tests
    // and benchmarks act at a given status text or byte), and a size choice
    // as the worker applies it.
    struct TWatch {
        std::function<void(const std::string& status)> Status;
        std::function<void(int position)> Position;
        std::function<void(int index)> MemSize;
    };

    TLinkRunner(TGuiQueue& gui, TReports reports);
    // Shutdown().
    ~TLinkRunner();
    TLinkRunner(const TLinkRunner&) = delete;
    TLinkRunner& operator=(const TLinkRunner&) = delete;

    // The commands, run in the order given.
    void Poll();
    // A Send or a Read of an Intel HEX file, or of a raw binary one.
    void Program(const std::string& fileName, const TWorkflowOptions& options,
                 TImageFormat format = TImageFormat::Hex);
    void Read(const std::string& fileName, const TWorkflowOptions& options,
              TImageFormat format = TImageFormat::Hex);
    // The size choice of a 2051/4051 (`index`: 0 = 2KB, 1 = 4KB), made while
    // the window showed `kind`: dropped when the link holds another chip by
    // the time it runs (a poll under way found another one).
    void ApplyMemSize(int index, TChipKind kind);
    // Closes the link's port once the commands before it have run (another
    // user of the ports, a station, takes over); the link holds no chip
    // then. `released` runs on the GUI thread afterwards.
    void ReleasePort(std::function<void()> released);
    // Search now: every port is greeted at the next poll and starts again
    // from one tick (see ProbeSchedule.h).
    void SearchNow();
    // Asks the command under way and those queued (a Send or Read, a poll's
    // wait) to stop at the next byte. A command queued later is not stopped.
    void RequestStop();
    // Stops the work, lets the link put the board back at its prompt, closes
    // the port and ends the worker. Reports still on their way are dropped,
    // and a message box asked for is not shown.
    void Shutdown();
    bool Running() const { return FThread.joinable(); }

    // Runs `job` on the worker and waits for it (tests; never while the
    // worker is on the line).
    void Call(const std::function<void(TProgrammerLink&)>& job);
    // The link, for looking at it while the worker is idle.
    TProgrammerLink& Link() { return *FLink; }
    // The link's view on the worker thread (what the link calls).
    IProgrammerView& Worker();
    // Any thread; the watch is called on the worker thread.
    void SetWatch(TWatch watch);

private:
    class TWorkerView;
    struct TGate;
    using TCommand = std::function<void()>;

    void Enqueue(TCommand command);
    std::shared_ptr<const TWatch> CurrentWatch() const;
    // Worker thread: an exception's message for the GUI thread's ErrorRaised.
    void RaiseError(std::exception_ptr error);
    std::stop_token NewStop();
    void Serve();
    // Worker thread: a job for the GUI thread, dropped once the runner shuts down.
    void ToGui(std::function<void()> job);
    // Worker thread: runs `job` on the GUI thread and waits until it has run
    // (or the runner shuts down).
    void ToGuiAndWait(std::function<void()> job);
    void RunPoll(const std::stop_token& stop);
    // Worker thread: a programmer's port found by the poll goes into the settings.
    void KeepLastProgrammer();
    void RunWorkflow(const std::function<TOutcome()>& run, const TWorkflowOptions& options);

    TGuiQueue& FGui;
    TReports FReports;
    // The GUI thread's side of the reports: closed at shut-down.
    std::shared_ptr<TGate> FGate;
    std::unique_ptr<TWorkerView> FView;
    std::shared_ptr<TEventDispatcher> FDispatcher;
    // The schedule's file for `corvane-cli ports` (outlives the link).
    TProbeBoard FProbeBoard{"window"};
    std::unique_ptr<TProgrammerLink> FLink;
    // The port where a programmer answered last, kept with the settings (worker thread).
    std::string FLastProgrammer;

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TCommand> FCommands;        // under FLock
    bool FQuit = false;                    // under FLock
    std::shared_ptr<const TWatch> FWatch;  // under FLock
    // The stops of the commands queued and not yet ended, oldest first (GUI thread).
    std::deque<std::stop_source> FStops;
    std::jthread FThread;
};

}  // namespace corvane
