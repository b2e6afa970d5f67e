#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ProgrammerView.h"

namespace corvane::test {

// A front end that records what the link shows and answers the option states
// it is given. Hooks let a test act at a given status text (the link shows it
// right before the step that follows).
class RecordingView : public IProgrammerView {
public:
    void ShowStatus(const std::string& text) override {
        statuses.push_back(text);
        if (onStatus) onStatus(text);
    }
    void RepaintStatus() override { ++statusRepaints; }
    void RepaintWindow() override { ++windowRepaints; }
    void SetProgressRange(int min, int max) override {
        progressMin = min;
        progressMax = max;
    }
    void SetProgressPosition(int position) override {
        progressPosition = position;
        if (position > highestPosition) highestPosition = position;
    }
    void ShowMessage(const std::string& text) override {
        messages.push_back(text);
        if (onMessage) onMessage(text);
    }
    void ShowWaitCursor() override {
        ++waitCursors;
        ++cursorDepth;
    }
    void RestoreCursor() override {
        ++restores;
        --cursorDepth;
    }
    void SetPollTimerEnabled(bool enabled) override { timerStates.push_back(enabled); }
    bool FastVerifyEnabled() const override { return fastVerifyEnabled; }
    bool FastVerifyChecked() const override { return fastVerifyChecked; }
    bool LockChecked() const override { return lockChecked; }
    int MemSizeIndex() const override { return memSizeIndex; }
    void PassProgress(int done, int total) override {
        passDone = done;
        passTotal = total;
        if (onProgress) onProgress(done, total);
    }
    void ShowPortNotice(const std::string& text) override { notices.push_back(text); }

    void Reset() {
        statuses.clear();
        messages.clear();
        timerStates.clear();
        statusRepaints = windowRepaints = 0;
        waitCursors = restores = cursorDepth = 0;
        highestPosition = -1;
    }
    std::string LastStatus() const { return statuses.empty() ? std::string() : statuses.back(); }

    // Options the link reads.
    bool fastVerifyEnabled = true;
    bool fastVerifyChecked = false;
    bool lockChecked = false;
    int memSizeIndex = 0;

    // What the link did.
    std::vector<std::string> statuses;
    std::vector<std::string> messages;
    std::vector<bool> timerStates;
    std::vector<std::string> notices;  // every port notice, in order (not reset)
    int statusRepaints = 0;
    int windowRepaints = 0;
    int progressMin = 0;
    int progressMax = 100;
    int progressPosition = 0;
    int highestPosition = -1;
    int passDone = 0;
    int passTotal = 0;
    int waitCursors = 0;
    int restores = 0;
    int cursorDepth = 0;

    std::function<void(const std::string&)> onStatus;
    std::function<void(int, int)> onProgress;
    std::function<void(const std::string&)> onMessage;
};

}  // namespace corvane::test
