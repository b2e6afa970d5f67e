#pragma once

#include <string>

namespace corvane {

// What the programmer link reports through and reads from its front end (the
// window, a terminal front end, a test's recording view).
class IProgrammerView {
public:
    virtual ~IProgrammerView() = default;
    virtual void ShowStatus(const std::string& text) = 0;  // pnlVerbose text (no repaint)
    virtual void RepaintStatus() = 0;                      // repaint the status line at once
    virtual void RepaintWindow() = 0;                      // repaint the whole window at once
    virtual void SetProgressRange(int min, int max) = 0;   // pbLoading
    virtual void SetProgressPosition(int position) = 0;
    virtual void ShowMessage(const std::string& text) = 0;  // plain modal message box
    virtual void ShowWaitCursor() = 0;                   // remember the cursor, show the hourglass
    virtual void RestoreCursor() = 0;                    // put the remembered cursor back
    virtual void SetPollTimerEnabled(bool enabled) = 0;  // Timer1 on/off
    virtual bool FastVerifyEnabled() const = 0;          // chkFastVerify enabled
    virtual bool FastVerifyChecked() const = 0;          // chkFastVerify ticked
    virtual bool LockChecked() const = 0;                // chkLock ticked
    virtual int MemSizeIndex() const = 0;  // rdoMemSize item index (0 = "2KB", 1 = "4KB")
    // Progress of a write or read pass for front ends that show rates; default does nothing.
    virtual void PassProgress(int /*done*/, int /*total*/) {}
    // Why ports could not be opened (for lack of permission: which, the
    // system's message and the fix), told once per change; empty when it no
    // longer applies. Shown beside the status line, never instead of it.
    virtual void ShowPortNotice(const std::string& /*text*/) {}
};

// A view that shows nothing and reads every option as off (and the first
// memory-size item), for work that reports elsewhere: each port's greeting
// in the search, benchmarks.
class TSilentView : public IProgrammerView {
public:
    void ShowStatus(const std::string&) override {}
    void RepaintStatus() override {}
    void RepaintWindow() override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPosition(int) override {}
    void ShowMessage(const std::string&) override {}
    void ShowWaitCursor() override {}
    void RestoreCursor() override {}
    void SetPollTimerEnabled(bool) override {}
    bool FastVerifyEnabled() const override { return false; }
    bool FastVerifyChecked() const override { return false; }
    bool LockChecked() const override { return false; }
    int MemSizeIndex() const override { return 0; }
};

}  // namespace corvane
