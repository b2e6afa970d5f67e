#include "StationView.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "ChipKind.h"

namespace corvane {

namespace {

using station::TBoardState;
using station::TChipOutcome;

// The window's Go is the terminal's Enter.
constexpr const char* kWaitingForGo = "no socket sensing: seat a chip, then press Go";

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string CountsText(const station::TStationTotals& totals) {
    const int chips = totals.Good + totals.Failed;
    std::string text =
        std::to_string(totals.Good) + " good, " + std::to_string(totals.Failed) + " failed";
    if (chips > 0) text += ", yield " + Format("%.1f %%", 100.0 * totals.Good / chips);
    const double perHour = totals.Seconds > 0 ? chips * 3600.0 / totals.Seconds : 0.0;
    return text + ", " + Format("%.0f", perHour) + " chips per hour";
}

TStationTile TileOf(const station::TBoardSnapshot& board, bool needsGo, bool running) {
    TStationTile tile;
    tile.Port = board.Port;
    tile.Chip = board.Chip;
    tile.Words =
        !board.Working && board.State == TBoardState::WaitingForEnter ? kWaitingForGo : board.Words;
    tile.Message = board.Message;
    tile.BarShown = board.Total > 0;
    tile.Done = board.Done;
    tile.Total = board.Total;
    switch (board.Last) {
        case TChipOutcome::Good:
            tile.Result = TTileResult::Pass;
            tile.ResultText = "PASS";
            break;
        case TChipOutcome::Failed:
            tile.Result = TTileResult::Fail;
            tile.ResultText = "FAIL";
            tile.Failure = board.LastResult;
            break;
        case TChipOutcome::Stopped:
            tile.Result = TTileResult::Stopped;
            tile.ResultText = "STOPPED";
            tile.Failure = board.LastResult;
            break;
        case TChipOutcome::None:
            break;
    }
    if (!board.LastSerial.empty()) tile.Serial = "serial number " + board.LastSerial;
    tile.GoShown = needsGo || board.Chip == ChipLabel(ck89C2051);
    tile.GoEnabled = running && !board.Working && board.State == TBoardState::WaitingForEnter;
    return tile;
}

}  // namespace

std::string StationTitle(const station::TStationTotals& totals) {
    return "Corvane station: " + std::to_string(totals.Good) + " good, " +
           std::to_string(totals.Failed) + " failed";
}

TStationRules::TStationRules(TWindowRules& window, IStationControls& controls,
                             std::string settingsFile)
    : FWindow(window), FControls(controls), FSettingsFile(std::move(settingsFile)) {
    if (!FSettingsFile.empty()) {
        try {
            TIniFile ini(FSettingsFile);
            LoadStationSettings(ini, FSettings);
        } catch (const std::exception&) {
            // Unreadable settings: the dialog starts with its defaults.
        }
    }
    FWindow.SetStation(this);
}

TStationRules::~TStationRules() {
    FWindow.SetStation(nullptr);
    // Stops a station still running and waits for its chips in their write.
    FRunner.reset();
}

TFileRequest TStationRules::FileRequest() const {
    return FWindow.FileDialogs().Request(TFileDialog::Open);
}

void TStationRules::FileChosen(const TFileChoice& choice) {
    FWindow.FileDialogs().Chosen(TFileDialog::Open, choice);
}

void TStationRules::StationClicked() {
    // A poll under way is no obstacle: the station waits for its end.
    if (Active() || FWindow.Working() || FWindow.Closing()) return;
    std::string error;
    for (;;) {
        TStationSettings settings = FSettings;
        if (!FControls.EditStationSettings(settings, error)) return;
        FSettings = settings;
        if (!FSettingsFile.empty()) {
            try {
                // A first run has no settings folder yet.
                std::error_code ignored;
                std::filesystem::create_directories(
                    std::filesystem::path(std::u8string(FSettingsFile.begin(), FSettingsFile.end()))
                        .parent_path(),
                    ignored);
                TIniFile ini(FSettingsFile);
                SaveStationSettings(ini, FSettings);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "corvane: %s: %s\n", FSettingsFile.c_str(), e.what());
            }
        }
        // The window may have begun to close while the dialog was open.
        if (Active() || FWindow.Closing()) return;
        auto setup = std::make_unique<TStationSetup>();
        error = PrepareStation(FSettings, *setup);
        if (error.empty()) error = Start(std::move(setup), FSettings.Sound);
        if (error.empty()) return;
    }
}

std::string TStationRules::Start(std::unique_ptr<TStationSetup> setup, bool sound, int* status) {
    int opened = station::esUsage;
    if (status != nullptr) *status = opened;
    if (Active()) return "a station runs already";
    TStationRunner::TReports reports;
    reports.Changed = [this](const station::TStationSnapshot& snapshot) { Changed(snapshot); };
    reports.Ended = [this](int status, const std::string& failure) { Ended(status, failure); };
    auto runner = std::make_unique<TStationRunner>(FWindow.Queue(), std::move(reports));
    FLogPath = setup->Options.Log;
    std::string refusal = runner->Open(std::move(setup), opened);
    if (status != nullptr) *status = opened;
    if (!refusal.empty()) return refusal;
    FRunner = std::move(runner);
    FSound = sound;
    FStatus = 0;
    FStopAsked = false;
    FCloseWhenEnded = false;
    FLast = {};
    FNeedsGo.clear();
    FPicture = {};
    FPicture.Phase = TStationPhase::Starting;
    FChecksum = FRunner->Checksum();
    FPicture.Details = DetailsText({});
    FPicture.Notice = "Starting...";
    FControls.ShowStationView(true);
    FControls.SetWindowTitle(StationTitle({}));
    Draw();
    // The one-chip window stops polling and lets go of its port: the station
    // greets every port itself.
    FWindow.HoldForStation([this, alive = std::weak_ptr<bool>(FAlive)] {
        if (alive.lock()) Released();
    });
    return {};
}

void TStationRules::Released() {
    if (!FRunner) return;
    if (FStopAsked) {
        // Stopped (or closed) before any board was taken on.
        Ended(station::esComplete, {});
        return;
    }
    FRunner->Run();
    FPicture.Phase = TStationPhase::Running;
    FPicture.Notice = "waiting for a programmer";
    Draw();
}

void TStationRules::Changed(const station::TStationSnapshot& snapshot) {
    if (snapshot.Totals.Failed > FLast.Totals.Failed && FSound) FControls.SoundFailure();
    FLast = snapshot;
    FNeedsGo.resize(snapshot.Boards.size(), false);
    const bool running = FPicture.Phase == TStationPhase::Running;
    FPicture.Tiles.clear();
    for (std::size_t i = 0; i < snapshot.Boards.size(); ++i) {
        const station::TBoardSnapshot& board = snapshot.Boards[i];
        if (board.State == TBoardState::WaitingForEnter) FNeedsGo[i] = true;
        FPicture.Tiles.push_back(TileOf(board, FNeedsGo[i], running));
    }
    FPicture.Counts = CountsText(snapshot.Totals);
    FPicture.Details = DetailsText(snapshot.Totals.NextSerial);
    if (running) {
        if (!snapshot.Notice.empty()) {
            FPicture.Notice = snapshot.Notice;
            FPicture.NoticeIsError = snapshot.NoticeIsError;
        } else {
            FPicture.Notice = snapshot.WaitingForProgrammer || snapshot.Boards.empty()
                                  ? "waiting for a programmer"
                                  : "";
        }
    }
    FControls.SetWindowTitle(StationTitle(snapshot.Totals));
    Draw();
}

std::string TStationRules::DetailsText(std::optional<std::uint64_t> nextSerial) const {
    std::string text;
    if (nextSerial) text = "next serial number " + std::to_string(*nextSerial) + ", ";
    return text + "log " + FLogPath + ", file checksum " + FChecksum;
}

void TStationRules::Ended(int status, const std::string& failure) {
    FStatus = status;
    FPicture.Phase = TStationPhase::Ended;
    for (TStationTile& tile : FPicture.Tiles) tile.GoEnabled = false;
    const station::TStationTotals& totals = FLast.Totals;
    if (!failure.empty()) {
        FPicture.Notice = failure;
        FPicture.NoticeIsError = true;
    } else if (FLast.NoticeIsError && !FLast.Notice.empty()) {
        FPicture.Notice = "Ended: " + FLast.Notice;
    } else {
        FPicture.Notice = "Ended: " + std::to_string(totals.Good) + " good, " +
                          std::to_string(totals.Failed) + " failed in " +
                          Format("%.0f", totals.Seconds) + " s";
        FPicture.NoticeIsError = false;
    }
    FControls.SetWindowTitle(StationTitle(totals));
    Draw();
    FWindow.StationStopped();
    if (FCloseWhenEnded) FWindow.ClosePending();
}

void TStationRules::Stop() {
    if (FStopAsked) return;
    FStopAsked = true;
    if (FPicture.Phase == TStationPhase::Starting) return;  // Released() ends it
    FRunner->Stop();
    FPicture.Phase = TStationPhase::Stopping;
    FPicture.Notice = "Stopping... chips in their write pass are finished first";
    FPicture.NoticeIsError = false;
    for (TStationTile& tile : FPicture.Tiles) tile.GoEnabled = false;
    Draw();
}

void TStationRules::StopClicked() {
    switch (FPicture.Phase) {
        case TStationPhase::Starting:
        case TStationPhase::Running:
            Stop();
            return;
        case TStationPhase::Ended:
            // Back to the one-chip window, which polls again.
            FRunner.reset();
            FPicture = {};
            FControls.ShowStationView(false);
            FControls.SetWindowTitle("");
            FWindow.StationEnded();
            return;
        case TStationPhase::Idle:
        case TStationPhase::Stopping:
            return;
    }
}

void TStationRules::EscapePressed() {
    if (FPicture.Phase == TStationPhase::Running || FPicture.Phase == TStationPhase::Starting) {
        Stop();
    }
}

void TStationRules::GoClicked(std::size_t board) {
    if (FPicture.Phase != TStationPhase::Running || board >= FPicture.Tiles.size() ||
        !FPicture.Tiles[board].GoEnabled) {
        return;
    }
    FRunner->Go(board);
}

IWindowStation::TClose TStationRules::CloseAsked() {
    switch (FPicture.Phase) {
        case TStationPhase::Starting:
        case TStationPhase::Running:
            FCloseWhenEnded = true;
            Stop();
            return TClose::Wait;
        case TStationPhase::Stopping:
            if (FCloseWhenEnded) return TClose::Abandon;
            FCloseWhenEnded = true;
            return TClose::Wait;
        case TStationPhase::Idle:
        case TStationPhase::Ended:
            break;
    }
    return TClose::Close;
}

void TStationRules::Draw() {
    switch (FPicture.Phase) {
        case TStationPhase::Starting:
        case TStationPhase::Running:
            FPicture.StopText = "Stop";
            FPicture.StopEnabled = true;
            break;
        case TStationPhase::Stopping:
            FPicture.StopText = "Stopping...";
            FPicture.StopEnabled = false;
            break;
        case TStationPhase::Ended:
            FPicture.StopText = "Back";
            FPicture.StopEnabled = true;
            break;
        case TStationPhase::Idle:
            return;
    }
    FControls.DrawStation(FPicture);
}

}  // namespace corvane
