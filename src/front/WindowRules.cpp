#include "WindowRules.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "ProgramEnd.h"

namespace corvane {

namespace {

// 8-bit text as UTF-8, each byte a Latin-1 character.
std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return out;
}

// Ctrl+C in the terminal is the user's own request; SIGTERM, SIGHUP and a
// logoff are the system's.
bool ByUser(int exitStatus) {
    return exitStatus == 128 + 2;
}

}  // namespace

TWindowRules::TWindowRules(IWindowControls& controls, IGuiWake& wake)
    : FControls(controls), FQueue(wake) {}

TWindowRules::~TWindowRules() {
    Shutdown();
}

void TWindowRules::Start() {
    // The link creates the two images (empty until a chip kind sizes them)
    // and the port list, and starts with no chip.
    TLinkRunner::TReports reports;
    reports.View = this;
    reports.PollEnded = [this](TChipKind kind) { PollEnded(kind); };
    reports.WorkflowEnded = [this](const TWorkflowEnd& end) { WorkflowEnded(end); };
    reports.ErrorRaised = [this](const std::string& message) { ShowError(message); };
    FRunner = std::make_unique<TLinkRunner>(FQueue, std::move(reports));
    FChipKind = ckNone;
    FShownKind = ckNone;
    FBusy = false;
    FControls.SetPollTimerActive(true);
}

void TWindowRules::Shutdown() {
    // Stops the work (the link puts the board back at its prompt), closes
    // the port and frees the images and the port list.
    if (FRunner) FRunner->Shutdown();
}

template <typename F>
void TWindowRules::Guarded(F&& handler) {
    try {
        handler();
    } catch (...) {
        ShowError(ExceptionMessage(std::current_exception()));
    }
}

void TWindowRules::UpdateChipDisplay() {
    const TChipKind kind = FChipKind;
    FShownKind = kind;
    FControls.SetSendReadEnabled(kind != ckNone);
    if (kind == ckNone) {
        // The status line and Fast Verify stay as they are.
        FControls.SetMemSizeVisible(false);
        FControls.SetChipLabel("", TLabelColour::Alert, kLabelTop);
        return;
    }
    const bool sizes = kind == ck89C2051;
    FControls.SetMemSizeVisible(sizes);
    FControls.SetChipLabel(ChipLabel(kind), TLabelColour::Normal,
                           sizes ? kLabelTopWithSizes : kLabelTop);
    // The programmer has no checksum for a 2051/4051, whose size the user chooses.
    if (sizes && Live()) FRunner->ApplyMemSize(MemSizeIndex(), kind);
    SetStatusText("");
    FControls.SetFastVerifyEnabled(!sizes);
}

void TWindowRules::BeginWork() {
    FBusy = true;
    FTimerWasActive = FControls.PollTimerActive();
    FWaitCursorsBefore = FWaitCursors;
}

void TWindowRules::EndWork() {
    while (FWaitCursors > FWaitCursorsBefore) RestoreCursor();
    if (FTimerWasActive && !FClosing && !StationActive() && !FControls.PollTimerActive()) {
        FControls.SetPollTimerActive(true);
    }
    FBusy = false;
}

void TWindowRules::StopWork() {
    if (FStopping || !Live()) return;
    FRunner->RequestStop();
    FStopping = true;
    FHeldStatus = FControls.StatusText();
    SetStatusText(kStopping);
    // A box the link waits for would hold the stop until someone clicks it.
    if (FMessageBoxOpen) FControls.CloseMessageBox();
}

void TWindowRules::Tick() {
    Guarded([this] {
        if (FBusy || Ending() || StationActive() || !Live()) return;
        BeginWork();
        FPolling = true;
        FRunner->Poll();
    });
}

void TWindowRules::SearchNow() {
    Guarded([this] {
        if (FClosing || !Live()) return;
        FRunner->SearchNow();
        Tick();
    });
}

void TWindowRules::PollEnded(TChipKind kind) {
    FPolling = false;
    EndWork();
    FChipKind = kind;
    Guarded([this] {
        if (FChipKind != FShownKind) UpdateChipDisplay();
    });
    // A click or a drop that came during the poll: the window held it until now.
    if (const auto held = std::exchange(FHeld, std::nullopt)) {
        if (FControls.SendReadEnabled() && !FClosing) {
            Guarded([this, &held] {
                if (held->Dropped.empty()) {
                    StartWorkflow(held->Kind);
                } else if (MayStartWork(std::nullopt)) {
                    SendDropped(held->Dropped);
                }
            });
        }
    }
}

void TWindowRules::SendClicked() {
    Guarded([this] { StartWorkflow(TFileDialog::Open); });
}

void TWindowRules::ReadClicked() {
    Guarded([this] { StartWorkflow(TFileDialog::Save); });
}

void TWindowRules::MemSizeClicked() {
    Guarded([this] {
        if (Live()) FRunner->ApplyMemSize(MemSizeIndex(), FShownKind);
    });
}

bool TWindowRules::MayStartWork(std::optional<THeld> held) {
    if (StationActive()) return false;
    if (FBusy) {
        // During a poll a click or a drop waits for the poll's end; during a
        // workflow (or an open dialog) it is ignored.
        if (held && FPolling && !FWorking) FHeld = std::move(held);
        return false;
    }
    return !Ending() && Live();
}

void TWindowRules::StartWorkflow(TFileDialog kind) {
    if (!MayStartWork(THeld{kind, {}})) return;
    BeginWork();
    std::optional<TFileChoice> choice;
    try {
        choice = FControls.ChooseFile(FDialogs.Request(kind));
    } catch (...) {
        EndWork();
        throw;
    }
    if (!choice || Ending()) {
        EndWork();
        return;
    }
    FDialogs.Chosen(kind, *choice);
    RunWorkflow(kind, choice->Name, FDialogs.FormatOf(*choice));
}

void TWindowRules::FileDropped(const std::string& fileName) {
    Guarded([this, &fileName] {
        if (FShownKind == ckNone || !MayStartWork(THeld{TFileDialog::Open, fileName}) ||
            !FControls.SendReadEnabled()) {
            return;
        }
        SendDropped(fileName);
    });
}

void TWindowRules::SendDropped(const std::string& fileName) {
    BeginWork();
    FDialogs.Dropped(fileName);
    RunWorkflow(TFileDialog::Open, fileName, FormatOfName(fileName));
}

void TWindowRules::RunWorkflow(TFileDialog kind, const std::string& fileName, TImageFormat format) {
    // The options the workflow reads are those of this moment.
    TWorkflowOptions options;
    options.FastVerifyEnabled = FastVerifyEnabled();
    options.FastVerifyChecked = FastVerifyChecked();
    options.LockChecked = LockChecked();
    options.MemSizeIndex = MemSizeIndex();
    FWorking = true;
    FControls.SetSessionEndBlock(kSessionEndBlock);
    if (kind == TFileDialog::Open) {
        FRunner->Program(fileName, options, format);
    } else {
        FRunner->Read(fileName, options, format);
    }
}

void TWindowRules::WorkflowEnded(const TWorkflowEnd& end) {
    FWorking = false;
    FControls.SetSessionEndBlock("");
    // A stopped Send or Read shows how it ended (what the link said last,
    // when an exception ended it).
    if (std::exchange(FStopping, false)) {
        SetStatusText(end.Failed || end.Outcome.Text.empty() ? FHeldStatus : end.Outcome.Text);
    }
    EndWork();
    if (FClosing) {
        // The board is back at its prompt: the close asked for goes ahead.
        if (end.Failed) std::fprintf(stderr, "corvane: %s\n", end.Message.c_str());
        FControls.CloseWindow();
        return;
    }
    if (end.Failed) ShowError(end.Message);
}

void TWindowRules::EscapePressed() {
    if (StationActive()) FStation->EscapePressed();
    if (FWorking) StopWork();
}

bool TWindowRules::CloseAsked() {
    if (StationActive()) {
        switch (FStation->CloseAsked()) {
            case IWindowStation::TClose::Wait:
                // The station stops as on Escape; the window closes once its
                // chips in their write pass are done (ClosePending).
                FClosing = true;
                FControls.SetPollTimerActive(false);
                std::fprintf(stderr,
                             "corvane: Stopping the station... chips in their write pass are "
                             "finished first (a second close ends at once)\n");
                return false;
            case IWindowStation::TClose::Abandon:
                FWorkAbandoned = true;
                std::fprintf(stderr,
                             "corvane: closed at once: chips in their write pass are "
                             "left as they are\n");
                break;
            case IWindowStation::TClose::Close:
                break;
        }
    }
    if (FWorking && !FClosing) {
        // A Send or Read stops as on Escape, and the window stays, with
        // "Stopping..." and the bar, until the link has finished the board's
        // pass; then it closes (WorkflowEnded).
        FClosing = true;
        StopWork();
        std::fprintf(stderr,
                     "corvane: Stopping... the programmer's pass is finished first (a second close "
                     "or Ctrl+C ends at once)\n");
        return false;
    }
    if (FWorking) {
        // Asked again: the window closes now, and the program ends without
        // waiting for the link.
        FWorkAbandoned = true;
        std::fprintf(stderr, "corvane: closed at once: the programmer board may need a reset\n");
    }
    FClosing = true;
    FControls.SetPollTimerActive(false);
    // A poll stops at once; the link waits for what the board still owes it
    // before the worker ends (Shutdown).
    if (FBusy && Live()) FRunner->RequestStop();
    return true;
}

void TWindowRules::HoldForStation(std::function<void()> released) {
    FHeld.reset();
    FControls.SetPollTimerActive(false);
    // A logoff waits for the station's chips, as for a Send or Read.
    FControls.SetSessionEndBlock(kStationSessionEndBlock);
    if (!Live()) {
        released();
        return;
    }
    FRunner->ReleasePort([this, released = std::move(released)] {
        FChipKind = ckNone;
        Guarded([this] { UpdateChipDisplay(); });
        released();
    });
}

void TWindowRules::StationStopped() {
    FControls.SetSessionEndBlock("");
}

void TWindowRules::StationEnded() {
    if (FClosing || !Live()) return;
    FControls.SetPollTimerActive(true);
    // The station's boards are greeted at once, not after the back-off.
    SearchNow();
}

void TWindowRules::RequestClose(int exitStatus) {
    FExitStatus = exitStatus;
    FHeld.reset();
    // A close on its way (a toolkit may post it) or waiting for the board's
    // pass: closing again would abandon the pass.
    if (Ending() && !ByUser(exitStatus)) return;
    FCloseRequested = true;
    FControls.CloseWindow();
}

void TWindowRules::RequestCloseFromAnyThread(int exitStatus) {
    FQueue.Post([this, exitStatus] { RequestClose(exitStatus); });
}

bool TWindowRules::SessionEndAsked(int exitStatus) {
    // A station stops as on a first close, and the window closes once its
    // chips in their write pass are done.
    if (!FWorking && !(FStation != nullptr && FStation->Running())) return true;
    RequestClose(exitStatus);
    return false;
}

void TWindowRules::TakeStopRequests(platform::TStopRequests& requests) {
    FStopRequests = &requests;
    requests.SetHandler([this](int status) { RequestCloseFromAnyThread(status); });
}

void TWindowRules::WindowGone() {
    if (FGone) return;
    FGone = true;
    FClosing = true;
    FHeld.reset();
    FControls.SetPollTimerActive(false);
    // No window takes a request from now on: it ends the program at once,
    // with its own status, also while the worker is being ended.
    if (FStopRequests != nullptr) {
        FStopRequests->SetHandler([](int status) { EndAtOnce(status); });
    }
    // A poll under way stops; the worker ends after the event loop
    // (Shutdown), unless work abandoned by a second close ends the program
    // first (FinishProgram).
    if (FBusy && Live()) FRunner->RequestStop();
}

void TWindowRules::ShowError(const std::string& message) {
    if (FShowingError || FClosing) {
        std::fprintf(stderr, "corvane: %s\n", message.c_str());
        return;
    }
    FShowingError = true;
    try {
        FControls.ShowError(message);
    } catch (...) {
        std::fprintf(stderr, "corvane: %s\n", message.c_str());
    }
    FShowingError = false;
}

void TWindowRules::ShowStatus(const std::string& text) {
    if (FStopping) {
        FHeldStatus = text;
    } else {
        SetStatusText(text);
    }
}

void TWindowRules::SetStatusText(const std::string& text) {
    FControls.SetStatusText(text);
}

void TWindowRules::SetProgressRange(int min, int max) {
    // A bar shows a busy animation for an empty range; a one-byte pass is an
    // ordinary range of one step.
    FControls.SetBarRange(min, max > min ? max : min + 1);
}

void TWindowRules::SetProgressPosition(int position) {
    // The worker gives the bar no more positions than a screen shows.
    FControls.SetBarPosition(position);
}

void TWindowRules::ShowMessage(const std::string& text) {
    // No box once the work is being stopped or the window closes: the box
    // would hold the stop until someone clicks it.
    if (FStopping || FClosing) {
        std::fprintf(stderr, "corvane: %s\n", Latin1ToUtf8(text).c_str());
        return;
    }
    // The link asks only during a Send or Read, so a stop finds it open.
    FMessageBoxOpen = true;
    try {
        FControls.ShowMessageBox(Latin1ToUtf8(text));
    } catch (...) {
        FMessageBoxOpen = false;
        throw;
    }
    FMessageBoxOpen = false;
}

void TWindowRules::ShowWaitCursor() {
    if (FWaitCursors++ == 0) FControls.SetWaitCursor(true);
}

void TWindowRules::RestoreCursor() {
    if (FWaitCursors == 0) return;
    if (--FWaitCursors == 0) FControls.SetWaitCursor(false);
}

void TWindowRules::SetPollTimerEnabled(bool enabled) {
    FControls.SetPollTimerActive(enabled);
}

void TWindowRules::ShowPortNotice(const std::string& text) {
    FControls.SetStatusNotice(text);
}

}  // namespace corvane
