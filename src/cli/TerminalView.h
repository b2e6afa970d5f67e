#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "ProgrammerView.h"

namespace corvane::cli {

// The programmer link's view on a terminal or in a log: status texts as
// lines on `out` as they change, the progress of each write or read pass as
// a bar with bytes done, total and rate on a terminal, or as one summary line
// per pass otherwise. Messages of the link go to `err`. Quiet: no status
// texts and no progress at all.
class TTerminalView : public IProgrammerView {
public:
    TTerminalView(std::FILE* out, std::FILE* err, bool terminal, bool quiet);

    // Option states the link reads, as the window's check boxes give them.
    void SetFastVerifyEnabled(bool enabled) { FFastVerifyEnabled = enabled; }
    void SetFastVerifyChecked(bool checked) { FFastVerifyChecked = checked; }
    void SetLockChecked(bool checked) { FLockChecked = checked; }
    void SetMemSizeIndex(int index) { FMemSizeIndex = index; }

    // Called with every status text before it is shown (detection reads the
    // scan's progress from it).
    std::function<void(const std::string&)> OnStatus;

    bool PollTimerEnabled() const { return FPollTimerEnabled; }

    // Ends an open progress line or pass summary (at the end of a workflow).
    void FinishPass();

    void ShowStatus(const std::string& text) override;
    void RepaintStatus() override;
    void RepaintWindow() override;
    void SetProgressRange(int min, int max) override;
    void SetProgressPosition(int position) override;
    void ShowMessage(const std::string& text) override;
    void ShowWaitCursor() override {}
    void RestoreCursor() override {}
    void SetPollTimerEnabled(bool enabled) override { FPollTimerEnabled = enabled; }
    bool FastVerifyEnabled() const override { return FFastVerifyEnabled; }
    bool FastVerifyChecked() const override { return FFastVerifyChecked; }
    bool LockChecked() const override { return FLockChecked; }
    int MemSizeIndex() const override { return FMemSizeIndex; }
    void PassProgress(int done, int total) override;

private:
    using Clock = std::chrono::steady_clock;

    void DrawBar(bool force);

    // The status text shown last (empty ones included): a text that repeats
    // it does not change the status line and is not printed again.
    std::string FLastStatus;

    std::FILE* FOut;
    std::FILE* FErr;
    bool FTerminal;
    bool FQuiet;
    // Erases what a longer line before left to the right of the bar.
    std::string FLineEraser;

    bool FFastVerifyEnabled = true;
    bool FFastVerifyChecked = false;
    bool FLockChecked = false;
    int FMemSizeIndex = 0;
    bool FPollTimerEnabled = true;

    // The pass in progress.
    bool FPassOpen = false;
    bool FBarShown = false;
    int FDone = 0;
    int FTotal = 0;
    Clock::time_point FPassStart{};
    Clock::time_point FLastDraw{};
};

// A text for a terminal line: bytes below 0x20 and above 0x7E as \xNN.
std::string Printable(const std::string& text);

// The rate of a pass, such as "285 B/s" or "11.2 KB/s" ("- B/s" for no time).
std::string RateText(int bytes, double seconds);

// The width of the terminal that `stream` writes to (80 when it says none).
int TerminalColumns(std::FILE* stream);

}  // namespace corvane::cli
