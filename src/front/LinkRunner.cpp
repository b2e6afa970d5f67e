#include "LinkRunner.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <system_error>
#include <utility>

#include "EventDispatcher.h"
#include "PortScreen.h"
#include "SettingsStore.h"
#include "ThreadName.h"

namespace corvane {

std::string ExceptionMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

namespace {

// The last programmer's port is kept in the [Ports] section of the settings
// file, beside the user's choice of ports. A private device map (tests,
// demos) names ports that mean nothing to a later run: nothing is kept then.
constexpr const char* kLastProgrammerKey = "LastProgrammer";

bool KeepsLastProgrammer() {
    const char* map = std::getenv("CORVANE_SERIALCOMM");
    return map == nullptr || map[0] == '\0';
}

std::string SettingsFileOf(const TProgrammerLink& link) {
    return link.PortScreen().SettingsFile.value_or(PortSettingsFile());
}

}  // namespace

// Whether the runner still delivers its reports: looked at and changed on the
// GUI thread only.
struct TLinkRunner::TGate {
    bool Open = true;
};

// The link's view on the worker thread: each report goes on to the GUI
// thread's view; the options the link reads are those handed over with the
// command.
class TLinkRunner::TWorkerView : public IProgrammerView {
public:
    explicit TWorkerView(TLinkRunner& runner) : FRunner(runner) {}

    TWorkflowOptions Options;

    // Gives the GUI the progress position still held back, if any.
    void FlushProgress() {
        if (!FPendingPosition) return;
        FShownPosition = *std::exchange(FPendingPosition, std::nullopt);
        FLastProgress = std::chrono::steady_clock::now();
        FRunner.ToGui(
            [view = View(), position = FShownPosition] { view->SetProgressPosition(position); });
    }

    void ShowStatus(const std::string& text) override {
        if (const auto watch = Watch(); watch && watch->Status) watch->Status(text);
        FlushProgress();
        FRunner.ToGui([view = View(), text] { view->ShowStatus(text); });
    }
    // The GUI thread paints whenever something changed: a repaint asked for
    // by the link needs nothing more.
    void RepaintStatus() override {}
    void RepaintWindow() override {}
    void SetProgressRange(int min, int max) override {
        FlushProgress();
        FProgressMax = max;
        FShownPosition = min - 1;
        FRunner.ToGui([view = View(), min, max] { view->SetProgressRange(min, max); });
    }
    void SetProgressPosition(int position) override {
        if (const auto watch = Watch(); watch && watch->Position) watch->Position(position);
        const auto now = std::chrono::steady_clock::now();
        if (position > FShownPosition && position < FProgressMax &&
            now - FLastProgress < kProgressGap) {
            FPendingPosition = position;
            return;
        }
        // Going back (the end of a pass): the bar first shows how far it got.
        if (FPendingPosition && position < *FPendingPosition) FlushProgress();
        FPendingPosition.reset();
        FShownPosition = position;
        FLastProgress = now;
        FRunner.ToGui([view = View(), position] { view->SetProgressPosition(position); });
    }
    void ShowMessage(const std::string& text) override {
        FlushProgress();
        FRunner.ToGuiAndWait([view = View(), text] { view->ShowMessage(text); });
    }
    void ShowWaitCursor() override {
        FlushProgress();
        FRunner.ToGui([view = View()] { view->ShowWaitCursor(); });
    }
    void RestoreCursor() override {
        FlushProgress();
        FRunner.ToGui([view = View()] { view->RestoreCursor(); });
    }
    void SetPollTimerEnabled(bool enabled) override {
        FlushProgress();
        FRunner.ToGui([view = View(), enabled] { view->SetPollTimerEnabled(enabled); });
    }
    void ShowPortNotice(const std::string& text) override {
        FRunner.ToGui([view = View(), text] { view->ShowPortNotice(text); });
    }
    bool FastVerifyEnabled() const override { return Options.FastVerifyEnabled; }
    bool FastVerifyChecked() const override { return Options.FastVerifyChecked; }
    bool LockChecked() const override { return Options.LockChecked; }
    int MemSizeIndex() const override { return Options.MemSizeIndex; }

private:
    IProgrammerView* View() const { return FRunner.FReports.View; }
    std::shared_ptr<const TWatch> Watch() const { return FRunner.CurrentWatch(); }

    // A pass reports every byte; the GUI is woken for the bar no more often
    // than a screen shows pictures.
    static constexpr std::chrono::milliseconds kProgressGap{20};
    TLinkRunner& FRunner;
    int FProgressMax = 0;
    int FShownPosition = 0;
    std::optional<int> FPendingPosition;
    std::chrono::steady_clock::time_point FLastProgress{};
};

TLinkRunner::TLinkRunner(TGuiQueue& gui, TReports reports)
    : FGui(gui),
      FReports(std::move(reports)),
      FGate(std::make_shared<TGate>()),
      FView(std::make_unique<TWorkerView>(*this)),
      FDispatcher(std::make_shared<TEventDispatcher>()) {
    // The worker serves the dispatcher between commands, waiting on the
    // dispatcher itself: no wake hook is needed.
    //
    // The window handles none of the port's events and reads the port
    // itself. What its monitor still reads on an arrival (the input queue,
    // the line errors) fails only when the line has gone; the monitor then
    // ends with that port error, and the link meets the same loss at its next
    // exchange, where a poll turns it into "no programmer" without a box. So
    // the monitor's port error is only noted; anything else is shown as usual.
    FDispatcher->SetExceptionHandler([this](std::exception_ptr error) {
        try {
            std::rethrow_exception(std::move(error));
        } catch (const EComPort& e) {
            std::fprintf(stderr, "corvane: event monitor ended: %s\n", e.what());
        } catch (...) {
            RaiseError(std::current_exception());
        }
    });
    FLink = std::make_unique<TProgrammerLink>(*FView);
    FLink->ComPort().SetDispatcher(FDispatcher);
    if (KeepsLastProgrammer()) {
        try {
            FLastProgrammer =
                TIniFile(SettingsFileOf(*FLink)).ReadString("Ports", kLastProgrammerKey, "");
        } catch (const std::exception&) {
            // A settings file that cannot be read keeps nothing.
        }
        FLink->ProbeSchedule().KeepAlways(FLastProgrammer);
    }
    FProbeBoard.Follow(FLink->ProbeSchedule());
    FThread = std::jthread([this] { Serve(); });
}

TLinkRunner::~TLinkRunner() {
    Shutdown();
}

IProgrammerView& TLinkRunner::Worker() {
    return *FView;
}

void TLinkRunner::SetWatch(TWatch watch) {
    auto shared = std::make_shared<const TWatch>(std::move(watch));
    std::lock_guard lock(FLock);
    FWatch = std::move(shared);
}

std::shared_ptr<const TLinkRunner::TWatch> TLinkRunner::CurrentWatch() const {
    std::lock_guard lock(FLock);
    return FWatch;
}

void TLinkRunner::Enqueue(TCommand command) {
    {
        std::lock_guard lock(FLock);
        FCommands.push_back(std::move(command));
    }
    FDispatcher->Wake();
}

std::stop_token TLinkRunner::NewStop() {
    // Each queued poll and workflow ends with exactly one report (PollEnded,
    // WorkflowEnded), which retires the oldest stop.
    FStops.emplace_back();
    return FStops.back().get_token();
}

void TLinkRunner::Serve() {
    NameThisThread("programmer link");
    for (;;) {
        FDispatcher->ServeUntil([this] {
            std::lock_guard lock(FLock);
            return FQuit || !FCommands.empty();
        });
        TCommand command;
        {
            std::lock_guard lock(FLock);
            if (FQuit) break;
            command = std::move(FCommands.front());
            FCommands.pop_front();
        }
        // An exception that would end the thread (and the program) is
        // shown as any other of the worker's.
        try {
            command();
        } catch (...) {
            RaiseError(std::current_exception());
        }
    }
    // Closes the port, serving the dispatcher while the monitor ends.
    FLink.reset();
}

void TLinkRunner::RaiseError(std::exception_ptr error) {
    ToGui([this, message = ExceptionMessage(std::move(error))] {
        if (FReports.ErrorRaised) FReports.ErrorRaised(message);
    });
}

void TLinkRunner::ToGui(std::function<void()> job) {
    FGui.Post([gate = FGate, job = std::move(job)] {
        if (gate->Open) job();
    });
}

void TLinkRunner::ToGuiAndWait(std::function<void()> job) {
    auto done = std::make_shared<bool>(false);  // under FLock
    FGui.Post([this, gate = FGate, job = std::move(job), done] {
        if (!gate->Open) return;
        job();
        // The runner may have been shut down while the job ran (a box's own
        // event loop), and the worker released then.
        if (!gate->Open) return;
        {
            std::lock_guard lock(FLock);
            *done = true;
        }
        FChanged.notify_all();
    });
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return *done || FQuit; });
}

void TLinkRunner::Poll() {
    Enqueue([this, stop = NewStop()] { RunPoll(stop); });
}

void TLinkRunner::RunPoll(const std::stop_token& stop) {
    try {
        FLink->PollProgrammer(stop);
        KeepLastProgrammer();
    } catch (...) {
        RaiseError(std::current_exception());
    }
    FView->FlushProgress();
    ToGui([this, kind = FLink->ChipKind()] {
        if (!FStops.empty()) FStops.pop_front();
        if (FReports.PollEnded) FReports.PollEnded(kind);
    });
}

void TLinkRunner::KeepLastProgrammer() {
    if (FLink->ChipKind() == ckNone || !KeepsLastProgrammer()) return;
    const std::string port = FLink->ComPort().Port();
    if (port == FLastProgrammer) return;
    FLastProgrammer = port;
    try {
        const std::string file = SettingsFileOf(*FLink);
        // A first run has no settings folder yet.
        std::error_code ignored;
        std::filesystem::create_directories(
            std::filesystem::path(std::u8string(file.begin(), file.end())).parent_path(), ignored);
        TIniFile(file).WriteString("Ports", kLastProgrammerKey, port);
    } catch (const std::exception&) {
        // Not kept: the next run finds the programmer all the same.
    }
}

void TLinkRunner::SearchNow() {
    Enqueue([this] { FLink->ProbeSchedule().SearchNow(); });
}

void TLinkRunner::RunWorkflow(const std::function<TOutcome()>& run,
                              const TWorkflowOptions& options) {
    FView->Options = options;
    TWorkflowEnd end;
    try {
        end.Outcome = run();
    } catch (...) {
        end.Failed = true;
        end.Message = ExceptionMessage(std::current_exception());
        end.Outcome = {TOutcomeKind::Failed, FLink->LastStatus()};
    }
    FView->FlushProgress();
    ToGui([this, end = std::move(end)] {
        if (!FStops.empty()) FStops.pop_front();
        if (FReports.WorkflowEnded) FReports.WorkflowEnded(end);
    });
}

void TLinkRunner::Program(const std::string& fileName, const TWorkflowOptions& options,
                          TImageFormat format) {
    Enqueue([this, fileName, options, format, stop = NewStop()] {
        RunWorkflow([&] { return FLink->ProgramFromFile(fileName, stop, format); }, options);
    });
}

void TLinkRunner::Read(const std::string& fileName, const TWorkflowOptions& options,
                       TImageFormat format) {
    Enqueue([this, fileName, options, format, stop = NewStop()] {
        RunWorkflow([&] { return FLink->ReadToFile(fileName, stop, format); }, options);
    });
}

void TLinkRunner::ApplyMemSize(int index, TChipKind kind) {
    Enqueue([this, index, kind] {
        if (FLink->ChipKind() != kind) return;
        if (const auto watch = CurrentWatch(); watch && watch->MemSize) watch->MemSize(index);
        FView->Options.MemSizeIndex = index;
        FLink->ApplyMemSizeChoice();
    });
}

void TLinkRunner::RequestStop() {
    for (std::stop_source& stop : FStops) stop.request_stop();
}

void TLinkRunner::ReleasePort(std::function<void()> released) {
    Enqueue([this, released = std::move(released)] {
        // Closed here, where the port's dispatcher is served.
        FLink->ReleasePort().reset();
        FLink->ComPort().SetDispatcher(FDispatcher);
        FLink->SetChipKind(ckNone);
        ToGui(released);
    });
}

void TLinkRunner::Shutdown() {
    if (!FThread.joinable()) return;
    FGate->Open = false;
    {
        std::lock_guard lock(FLock);
        // Commands still queued do not begin; the one under way stops, and a
        // box it waits for is given up.
        FQuit = true;
        FCommands.clear();
    }
    RequestStop();
    FChanged.notify_all();
    FDispatcher->Wake();
    FThread.join();
}

void TLinkRunner::Call(const std::function<void(TProgrammerLink&)>& job) {
    std::promise<void> done;
    std::future<void> result = done.get_future();
    Enqueue([this, &job, &done] {
        try {
            job(*FLink);
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    result.get();
}

}  // namespace corvane
