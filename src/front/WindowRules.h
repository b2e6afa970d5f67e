#pragma once

// The main window without a toolkit: what each control shows, when the
// programmer is polled, what Send, Read, Escape and a close do, and the
// program's exit status. A toolkit's window holds the widgets, the dialogs
// and this glue:
//
//  1. Implement IWindowControls (WindowControls.h) over the widgets and the
//     dialogs, and IGuiWake (GuiQueue.h): WakeGui, from any thread, makes the
//     GUI thread call DrainPosted() soon (Qt: an event posted to the window;
//     Win32: PostMessage of a message of the window's own, whose handler
//     calls DrainPosted).
//  2. Make a TWindowRules with both once the widgets exist, and call Start():
//     it starts the worker (TLinkRunner) and Timer1.
//  3. Hand the window's events to it: Timer1's tick -> Tick(), btnSend ->
//     SendClicked(), BtnRead -> ReadClicked(), a click on a size item ->
//     MemSizeClicked(), Escape -> EscapePressed() (Escape never closes the
//     window), F5 -> SearchNow(), the close button (or the system's close)
//     -> CloseAsked(), which says whether the window may close now.
//     A file dropped on the window -> FileDropped(). The system asking
//     whether the session may end -> SessionEndAsked(); a logoff or
//     shutdown of the session that the system enforces itself ->
//     RequestClose(143). An exception that escapes a toolkit's own handler ->
//     ShowError().
//  4. main: take the system's stop requests (platform::TStopRequests) before
//     any thread starts, hand them to TakeStopRequests(), run the event
//     loop, then end with FinishProgram() (ProgramEnd.h).
//  5. Once the window has closed (its close accepted, or destroyed), call
//     WindowGone(): from then on a request ends the program at once. After
//     the event loop, destroy the rules (or call Shutdown()) before the
//     controls and the wake go: that lets the link finish the board's pass
//     and ends the worker.
//
// None of the calls blocks on the line; all are for the GUI thread except
// RequestCloseFromAnyThread. Exceptions of the handlers go to the controls'
// ShowError.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ChipKind.h"
#include "FileDialogs.h"
#include "GuiQueue.h"
#include "LinkRunner.h"
#include "ProgrammerView.h"
#include "StopRequests.h"
#include "WindowControls.h"
#include "WindowStation.h"

namespace corvane {

// The label's top for a kind: lower for kinds 1 to 6 and none; higher for a
// 2051/4051, to make room for the size choice under it.
constexpr int kLabelTop = 30;
constexpr int kLabelTopWithSizes = 15;
constexpr const char* kStopping = "Stopping...";
// Why a logoff or shutdown waits while a Send or Read runs.
constexpr const char* kSessionEndBlock = "Corvane is finishing the programmer board's pass";
constexpr const char* kStationSessionEndBlock = "Corvane's production station is running";

class TWindowRules : public IProgrammerView {
public:
    TWindowRules(IWindowControls& controls, IGuiWake& wake);
    ~TWindowRules() override;
    TWindowRules(const TWindowRules&) = delete;
    TWindowRules& operator=(const TWindowRules&) = delete;

    // Starts the worker (the link with its two empty images and no chip) and Timer1.
    void Start();
    // Stops the work, lets the link finish the board's pass, ends the worker.
    void Shutdown();

    // The window's events.
    void Tick();
    void SendClicked();
    void ReadClicked();
    void MemSizeClicked();
    // Stops a Send or a Read under way; otherwise nothing.
    void EscapePressed();
    // F5: search now. Every free port is greeted at once (a poll now, unless
    // work is under way) and starts again from one tick.
    void SearchNow();
    // Whether the window may close now. During a Send or Read the first close
    // stops it and keeps the window until the board is back (the window then
    // closes by itself); a second close closes at once and abandons the work.
    bool CloseAsked();
    // A request that the program end (SIGTERM, a logout, a closed terminal,
    // Ctrl+C in it): the window closes as its close button closes it, and
    // the program then ends with `exitStatus`. No new work starts from now
    // on, also before a close that the toolkit posts has come. A request
    // while a close waits for the board's pass only sets the status: the
    // system's requests never abandon a pass; only the user's Ctrl+C (130),
    // as a second close, does.
    void RequestClose(int exitStatus);
    // The same from any thread (the stop requests' own): posted to the GUI thread.
    void RequestCloseFromAnyThread(int exitStatus);
    // The system asks whether the session may end: not while a Send, a Read
    // or a station runs (the toolkit refuses, showing kSessionEndBlock); that work then
    // stops as on a first close, and the window closes with `exitStatus` once
    // the board's pass is finished.
    bool SessionEndAsked(int exitStatus);
    // Hands the system's stop requests to RequestCloseFromAnyThread until
    // the window has gone.
    void TakeStopRequests(platform::TStopRequests& requests);
    // The one step of both windows once they have closed: no poll, click,
    // dialog or box from now on, and a stop request ends the program at once.
    void WindowGone();
    // A file dropped on the window: while a chip is shown and nothing runs,
    // it is sent as Send's dialog would send it (the options ticked now, the
    // dialogs' folder set to the file's); otherwise nothing.
    void FileDropped(const std::string& fileName);
    // The station the window hosts (StationView.h), or none.
    void SetStation(IWindowStation* station) { FStation = station; }
    bool StationActive() const { return FStation != nullptr && FStation->Active(); }
    // A station begins: no poll from now on, and once the commands under way
    // have run, the link lets go of its port (`released` runs then).
    void HoldForStation(std::function<void()> released);
    // The station's chips are done: a logoff need not wait any more.
    void StationStopped();
    // The station has gone: the window polls again.
    void StationEnded();
    // A close that waited for the station's chips goes ahead.
    void ClosePending() { FControls.CloseWindow(); }
    // The queue of jobs for the GUI thread.
    TGuiQueue& Queue() { return FQueue; }
    // The error box, one at a time: a message that comes while one is shown
    // (or once the window is closing) goes to the standard error stream.
    void ShowError(const std::string& message);
    // The jobs the worker posted: call when woken (IGuiWake).
    void DrainPosted() { FQueue.Drain(); }

    // Brings the label, the buttons, the size choice and Fast Verify in line
    // with ChipKind().
    void UpdateChipDisplay();
    // The chip kind the link reported at the end of the last poll.
    TChipKind ChipKind() const { return FChipKind; }
    void SetChipKind(TChipKind kind) { FChipKind = kind; }

    // A poll, a file dialog or a workflow is under way.
    bool Busy() const { return FBusy; }
    // A Send or a Read is under way (Escape stops it).
    bool Working() const { return FWorking; }
    // The Send or Read under way has been asked to stop: the status line
    // says "Stopping..." until it has ended, then what the link said last.
    bool Stopping() const { return FStopping; }
    // A close was asked for; no poll starts from now on.
    bool Closing() const { return FClosing; }
    // The program's exit status: 0, or that of the system's request.
    int ExitStatus() const { return FExitStatus; }
    // The window was closed again while a Send or Read was being stopped:
    // the worker may still be on the line, and the program ends without
    // waiting for it.
    bool WorkAbandoned() const { return FWorkAbandoned; }

    // The file dialogs' policy (types, extension, folder).
    TFileDialogs& FileDialogs() { return FDialogs; }

    // The worker (from Start() on; Running() is false once it has been shut down).
    TLinkRunner& Runner() { return *FRunner; }

    // IProgrammerView: the link's reports on the GUI thread. (The worker's
    // view passes no repaint on: the GUI thread paints what changed.)
    void ShowStatus(const std::string& text) override;
    void RepaintStatus() override {}
    void RepaintWindow() override {}
    void SetProgressRange(int min, int max) override;
    void SetProgressPosition(int position) override;
    // The link's messages are 8-bit characters (a wrong echo is one raw byte
    // from the line): shown as Latin-1.
    void ShowMessage(const std::string& text) override;
    void ShowWaitCursor() override;
    void RestoreCursor() override;
    void SetPollTimerEnabled(bool enabled) override;
    bool FastVerifyEnabled() const override { return FControls.FastVerifyEnabled(); }
    bool FastVerifyChecked() const override { return FControls.FastVerifyChecked(); }
    bool LockChecked() const override { return FControls.LockChecked(); }
    int MemSizeIndex() const override { return FControls.MemSizeIndex(); }
    void ShowPortNotice(const std::string& text) override;

private:
    friend struct TWindowRulesTestAccess;
    template <typename F>
    void Guarded(F&& handler);
    // The worker runs (started and not shut down).
    bool Live() const { return FRunner && FRunner->Running(); }
    // Whether a Send, a Read or a drop may begin now; a click that comes
    // during a poll is held for its end.
    // A click on Send or Read, or a file dropped (its name).
    struct THeld {
        TFileDialog Kind;
        std::string Dropped;  // empty: a click
    };
    bool MayStartWork(std::optional<THeld> held);
    void StartWorkflow(TFileDialog kind);
    void SendDropped(const std::string& fileName);
    void RunWorkflow(TFileDialog kind, const std::string& fileName, TImageFormat format);
    // A poll, a dialog or a workflow begins and ends: the busy flag, and
    // afterwards the poll timer and the cursor as they were before.
    void BeginWork();
    void EndWork();
    // Asks the Send or Read under way to stop: "Stopping..." shows at once;
    // what the link reports meanwhile shows when the work has ended.
    void StopWork();
    void SetStatusText(const std::string& text);
    // A close is asked for or on its way: no new work starts.
    bool Ending() const { return FClosing || FCloseRequested; }
    void PollEnded(TChipKind kind);
    void WorkflowEnded(const TWorkflowEnd& end);

    IWindowControls& FControls;
    TGuiQueue FQueue;
    TFileDialogs FDialogs;
    bool FShowingError = false;
    std::unique_ptr<TLinkRunner> FRunner;

    TChipKind FChipKind = ckNone;
    // The kind the display was last brought in line with.
    TChipKind FShownKind = ckNone;
    bool FBusy = false;
    bool FPolling = false;
    bool FWorking = false;
    bool FStopping = false;
    // The status the line shows once a stopped Send or Read has ended.
    std::string FHeldStatus;
    bool FClosing = false;
    bool FCloseRequested = false;
    bool FWorkAbandoned = false;
    int FExitStatus = 0;
    // The timer and the wait cursors when the current work began.
    bool FTimerWasActive = false;
    int FWaitCursorsBefore = 0;
    // Wait cursors shown and not yet put back.
    int FWaitCursors = 0;
    // A click on Send or Read, or a file dropped, that came during a poll: the
    // last one runs when the poll ends.
    std::optional<THeld> FHeld;
    // The link's message box is open (a stop closes it).
    bool FMessageBoxOpen = false;
    platform::TStopRequests* FStopRequests = nullptr;
    IWindowStation* FStation = nullptr;
    bool FGone = false;
};

}  // namespace corvane
