#pragma once

// The station in the window, without a toolkit: the settings dialog's start,
// the view that takes the window's place while a station runs (a tile per
// board, the counts above them, the window's title), Go, Stop and Escape, and
// the close that waits for the chips in their write pass. A toolkit's window
// plugs in so:
//
//  1. Implement IStationControls (below) over the station dialog and the
//     station view's widgets.
//  2. Make a TStationRules with the window's TWindowRules once that exists;
//     destroy it before them (it stops a station still running and waits for
//     its chips in their write pass).
//  3. "Station..." -> StationClicked(); a tile's Go button, or the space bar
//     while a tile has the focus -> GoClicked(board); the view's Stop/Back
//     button -> StopClicked(). Escape, the close and the system's requests
//     reach the station through TWindowRules, as before.
//  4. The dialog's file buttons: FileRequest() and FileChosen() for the file
//     (the window's file dialogs' policy), LogFileRequest() for the log.
//
// No modal box opens while a station runs: what a board says goes into its
// tile, what concerns the station into the line above the tiles.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "StationRunner.h"
#include "StationSettings.h"
#include "WindowRules.h"
#include "WindowStation.h"

namespace corvane {

// The last chip's end as a tile shows it.
enum class TTileResult { None, Pass, Fail, Stopped };

// One board's tile.
struct TStationTile {
    std::string Port;
    std::string Chip;
    std::string Words;    // what the board does now, in the terminal's words
    std::string Message;  // what the board had to say last (a box elsewhere)
    bool BarShown = false;
    int Done = 0;  // the pass: Done of Total
    int Total = 0;
    TTileResult Result = TTileResult::None;
    std::string ResultText;  // "PASS", "FAIL", "STOPPED" (large: green, red, plain)
    std::string Failure;     // the failure in words
    std::string Serial;      // "serial number 1013", the number that chip got
    bool GoShown = false;    // a 2051/4051 board, which cannot tell an empty socket
    bool GoEnabled = false;  // it waits for Go now
};

enum class TStationPhase { Idle, Starting, Running, Stopping, Ended };

// The whole view, drawn in one piece.
struct TStationPicture {
    TStationPhase Phase = TStationPhase::Idle;
    std::vector<TStationTile> Tiles;
    std::string Counts;   // "12 good, 1 failed, yield 92.3 %, 340 chips per hour"
    std::string Details;  // "next serial number 1013, log /x/log.csv, file checksum 0x1E05"
    std::string Notice;   // the word on the station as a whole
    bool NoticeIsError = false;
    std::string StopText;  // "Stop", "Stopping...", "Back"
    bool StopEnabled = false;
};

// The station's widgets and its dialog, as the rules drive them. GUI thread.
class IStationControls {
public:
    virtual ~IStationControls() = default;
    // The modal settings dialog, with `error` (why the last start was
    // refused; empty: none) shown in it. Edits `settings`; false: cancelled.
    virtual bool EditStationSettings(TStationSettings& settings, const std::string& error) = 0;
    // The view takes the one-chip window's place, or gives it back.
    virtual void ShowStationView(bool shown) = 0;
    virtual void DrawStation(const TStationPicture& picture) = 0;
    // The window's title; empty: the window's own.
    virtual void SetWindowTitle(const std::string& title) = 0;
    // A chip failed (the sound is on).
    virtual void SoundFailure() = 0;
};

// "Corvane station: 12 good, 1 failed".
std::string StationTitle(const station::TStationTotals& totals);

class TStationRules : public IWindowStation {
public:
    // `settingsFile`: where the dialog's values are remembered (empty: not).
    TStationRules(TWindowRules& window, IStationControls& controls, std::string settingsFile);
    ~TStationRules() override;
    TStationRules(const TStationRules&) = delete;
    TStationRules& operator=(const TStationRules&) = delete;

    // The dialog, then the station; nothing while the window is busy or a
    // station is shown.
    void StationClicked();
    // A station without the dialog (a command line's): empty when it runs,
    // else why it was refused, with the exit status in `status` when given.
    std::string Start(std::unique_ptr<TStationSetup> setup, bool sound, int* status = nullptr);
    void GoClicked(std::size_t board);
    // Stop while the station runs; Back (to the one-chip window) once it has ended.
    void StopClicked();

    // IWindowStation
    bool Active() const override { return FPicture.Phase != TStationPhase::Idle; }
    bool Running() const override { return Active() && FPicture.Phase != TStationPhase::Ended; }
    TClose CloseAsked() override;
    void EscapePressed() override;

    const TStationPicture& Picture() const { return FPicture; }
    // The station's exit status once it has ended (as corvane-cli station's).
    int Status() const { return FStatus; }
    // The dialog's values as remembered.
    const TStationSettings& Settings() const { return FSettings; }
    TFileRequest FileRequest() const;
    void FileChosen(const TFileChoice& choice);

private:
    void Released();
    void Changed(const station::TStationSnapshot& snapshot);
    void Ended(int status, const std::string& failure);
    void Stop();
    void Draw();
    std::string DetailsText(std::optional<std::uint64_t> nextSerial) const;

    TWindowRules& FWindow;
    IStationControls& FControls;
    std::string FSettingsFile;
    TStationSettings FSettings;
    bool FSound = true;
    std::string FLogPath;
    std::string FChecksum;
    std::unique_ptr<TStationRunner> FRunner;
    TStationPicture FPicture;
    station::TStationSnapshot FLast;
    std::vector<bool> FNeedsGo;  // per board: it has waited for Go
    int FStatus = 0;
    bool FStopAsked = false;
    bool FCloseWhenEnded = false;
    // Tells the link's report that releases the port whether the rules are still there.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

}  // namespace corvane
