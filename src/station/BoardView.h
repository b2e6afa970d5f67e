#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "ProgrammerView.h"

// What the link of one board among several reports, and the link's view that
// reports it.
namespace corvane::station {

// Where the boards' steps go: each board has a line, named by its number.
// Called from the boards' threads.
class IBoardReport {
public:
    virtual ~IBoardReport() = default;
    // A status text of a board.
    virtual void Step(std::size_t board, const std::string& text) = 0;
    // How far a board's write or read pass has come, `seconds` into it.
    virtual void Progress(std::size_t board, int done, int total, double seconds) = 0;
    virtual void PassEnded(std::size_t board, int done, int total, double seconds) = 0;
    // A message of a board (where the window shows a message box).
    virtual void Message(std::size_t board, const std::string& text) = 0;
};

// The programmer link's view of one board: option states as set, status
// texts and passes to the report.
class TBoardView : public IProgrammerView {
public:
    TBoardView(IBoardReport& report, std::size_t board) : FReport(report), FBoard(board) {}

    void SetFastVerifyEnabled(bool enabled) { FFastVerifyEnabled = enabled; }
    void SetFastVerifyChecked(bool checked) { FFastVerifyChecked = checked; }
    void SetLockChecked(bool checked) { FLockChecked = checked; }
    void SetMemSizeIndex(int index) { FMemSizeIndex = index; }

    // Ends a pass still open (at the end of the workflow).
    void FinishPass();

    void ShowStatus(const std::string& text) override;
    void RepaintStatus() override {}
    void RepaintWindow() override {}
    void SetProgressRange(int min, int max) override;
    void SetProgressPosition(int /*position*/) override {}
    void ShowMessage(const std::string& text) override;
    void ShowWaitCursor() override {}
    void RestoreCursor() override {}
    void SetPollTimerEnabled(bool /*enabled*/) override {}
    bool FastVerifyEnabled() const override { return FFastVerifyEnabled; }
    bool FastVerifyChecked() const override { return FFastVerifyChecked; }
    bool LockChecked() const override { return FLockChecked; }
    int MemSizeIndex() const override { return FMemSizeIndex; }
    void PassProgress(int done, int total) override;

private:
    using Clock = std::chrono::steady_clock;
    double PassSeconds() const;

    IBoardReport& FReport;
    std::size_t FBoard;
    bool FFastVerifyEnabled = true;
    bool FFastVerifyChecked = false;
    bool FLockChecked = false;
    int FMemSizeIndex = 0;
    std::string FLastStatus;
    bool FPassOpen = false;
    int FDone = 0;
    int FTotal = 0;
    Clock::time_point FPassStart{};
};

}  // namespace corvane::station
