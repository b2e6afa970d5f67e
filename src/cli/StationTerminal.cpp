#include "StationTerminal.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BoardsDisplay.h"
#include "Console.h"
#include "ExitStatus.h"
#include "Station.h"
#include "StopSignals.h"

namespace corvane::cli {

namespace {

using station::TBoardState;

// The station's reports drawn as the boards' lines (BoardsDisplay.h).
class TStationTerminal : public station::IStationHost {
public:
    explicit TStationTerminal(const TMultiBoardRun& run)
        : FRun(run), FDisplay(run.Out, run.Err, run.Terminal, run.Options->Quiet) {}

    void Error(const std::string& text) {
        std::fprintf(FRun.Err, "corvane-cli: %s\n", text.c_str());
        std::fflush(FRun.Err);
    }

    void Step(std::size_t board, const std::string& text) override { FDisplay.Step(board, text); }
    void Progress(std::size_t board, int done, int total, double seconds) override {
        FDisplay.Progress(board, done, total, seconds);
    }
    void PassEnded(std::size_t board, int done, int total, double seconds) override {
        FDisplay.PassEnded(board, done, total, seconds);
    }
    void Message(std::size_t board, const std::string& text) override {
        FDisplay.Message(board, text);
    }
    std::size_t AddBoard(const std::string& port, const std::string& chip) override {
        return FDisplay.Add(port, chip);
    }
    void SetChip(std::size_t board, const std::string& chip) override {
        FDisplay.SetChip(board, chip);
    }
    void BoardState(std::size_t board, TBoardState state, const std::string& result) override {
        std::lock_guard lock(FEnterLock);
        if (board >= FWaitsForEnter.size()) FWaitsForEnter.resize(board + 1);
        FWaitsForEnter[board] = state == TBoardState::WaitingForEnter;
        // On a terminal the line keeps the chip's result in view.
        FDisplay.Step(board, FWaitsForEnter[board] && FInputEnded
                                 ? kInputEnded
                                 : station::BoardStateText(state, result, FRun.Terminal));
    }
    // Standard input has ended: a board that waits for Enter waits for good.
    void InputEnded() {
        std::lock_guard lock(FEnterLock);
        if (FFinished) return;
        FInputEnded = true;
        for (std::size_t board = 0; board < FWaitsForEnter.size(); ++board) {
            if (FWaitsForEnter[board]) FDisplay.Step(board, kInputEnded);
        }
    }
    void ChipDone(std::size_t /*board*/, const station::TStationRow& /*row*/) override {}
    void ChipFailed(std::size_t /*board*/) override {
        if (FRun.Options->Bell) FDisplay.Bell();
    }
    void Totals(const station::TStationTotals& totals) override {
        if (!FRun.Terminal) return;
        const double hours = totals.Seconds / 3600.0;
        char text[160];
        std::snprintf(text, sizeof text, "good %d  failed %d  %.0f chips per hour", totals.Good,
                      totals.Failed, hours > 0 ? (totals.Good + totals.Failed) / hours : 0.0);
        FDisplay.SetFooter(text);
    }
    void WaitingForProgrammer() override {
        if (FRun.Options->Quiet) return;
        FDisplay.SetFooter("waiting for a programmer");
        if (!FRun.Terminal) {
            std::fprintf(FRun.Out, "waiting for a programmer\n");
            std::fflush(FRun.Out);
        }
    }
    void Notice(const std::string& text, bool /*error*/) override { Error(text); }
    // The station has ended: its lines are drawn for the last time.
    void Finish() {
        std::lock_guard lock(FEnterLock);
        FFinished = true;
        FDisplay.Finish();
    }

private:
    static constexpr const char* kInputEnded = "standard input ended: no Enter";

    const TMultiBoardRun& FRun;
    TBoardsDisplay FDisplay;
    std::mutex FEnterLock;
    std::vector<bool> FWaitsForEnter;  // by board
    bool FInputEnded = false;
    bool FFinished = false;
};

// Enter on standard input, passed to the station as it comes. The line is
// read by a thread of its own, left to the end of the program (a read of a
// terminal cannot be called off).
void ReadEnters(const std::shared_ptr<station::TStation>& target,
                const std::shared_ptr<TStationTerminal>& host) {
    std::thread([weak = std::weak_ptr(target), weakHost = std::weak_ptr(host)] {
        while (console::ReadInputLine()) {
            if (auto station = weak.lock()) station->EnterPressed();
        }
        if (auto terminal = weakHost.lock()) terminal->InputEnded();
    }).detach();
}

}  // namespace

int RunStation(const TMultiBoardRun& run) {
    const TCliOptions& options = *run.Options;
    // Shared with the thread that reads Enter, which may outlive the run.
    const auto terminal = std::make_shared<TStationTerminal>(run);
    TStationTerminal& host = *terminal;
    station::TStationOptions stationOptions =
        station::StationOptionsOf(options, *run.Image, run.FileLength);
    // A chip stopped by a signal before its write gets the signal's status.
    stationOptions.StoppedStatus = [] {
        const int status = CurrentStopStatus();
        return status != 0 ? status : esFailedStep;
    };
    auto station = std::make_shared<station::TStation>(stationOptions, host);
    if (int status = station->Open(); status != esComplete) return status;

    // From the first port on, a stop lets every chip under way be finished.
    stop_signals::FinishPassOnStop();
    if (!options.Quiet) {
        std::fprintf(run.Out, "station: %s (checksum %s), log %s; Ctrl+C ends\n",
                     options.File.c_str(), station->Checksum().c_str(), stationOptions.Log.c_str());
        std::fflush(run.Out);
    }
    ReadEnters(station, terminal);
    const int status = station->Run(stop_signals::Token());
    host.Finish();
    const station::TStationTotals totals = station->Totals();
    const int chips = totals.Good + totals.Failed;
    std::fprintf(run.Out, "%d good, %d failed in %.0f s (%.0f chips per hour)\n", totals.Good,
                 totals.Failed, totals.Seconds,
                 totals.Seconds > 0 ? chips * 3600.0 / totals.Seconds : 0.0);
    std::fflush(run.Out);
    return status;
}

}  // namespace corvane::cli
