#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "WindowControls.h"
#include "WindowRules.h"

namespace corvane::test {

// Widgets that only remember what they were told, and dialogs that answer
// as the test says. The wait cursor and the timer keep their history.
class RecordingControls : public IWindowControls {
public:
    void SetChipLabel(const std::string& text, TLabelColour colour, int top) override {
        Label = text;
        Colour = colour;
        LabelTop = top;
    }
    void SetSendReadEnabled(bool enabled) override { SendRead = enabled; }
    bool SendReadEnabled() const override { return SendRead; }
    void SetMemSizeVisible(bool visible) override { SizesShown = visible; }
    int MemSizeIndex() const override { return SizeIndex; }
    void SetFastVerifyEnabled(bool enabled) override { FastVerify = enabled; }
    bool FastVerifyEnabled() const override { return FastVerify; }
    bool FastVerifyChecked() const override { return FastVerifyTicked; }
    bool LockChecked() const override { return LockTicked; }
    void SetStatusText(const std::string& text) override {
        Status = text;
        Statuses.push_back(text);
    }
    std::string StatusText() const override { return Status; }
    void SetStatusNotice(const std::string& notice) override { Notice = notice; }
    void SetBarRange(int min, int max) override { Bar = {min, max}; }
    void SetBarPosition(int position) override { BarPosition = position; }
    void SetPollTimerActive(bool active) override {
        Timer = active;
        TimerHistory.push_back(active);
    }
    bool PollTimerActive() const override { return Timer; }
    void SetWaitCursor(bool shown) override { WaitCursor = shown; }
    std::optional<TFileChoice> ChooseFile(const TFileRequest& request) override {
        Asked.push_back(request.Kind);
        Requests.push_back(request);
        if (!Chooser) return std::nullopt;
        auto name = Chooser(request.Kind);
        if (!name) return std::nullopt;
        return TFileChoice{*name, ChosenFilter.value_or(request.FilterIndex)};
    }
    void ShowMessageBox(const std::string& text) override {
        Messages.push_back(text);
        if (OnMessage) OnMessage();
    }
    void CloseMessageBox() override { ++BoxesClosed; }
    void ShowError(const std::string& message) override { Errors.push_back(message); }
    void SetSessionEndBlock(const std::string& reason) override { BlockReason = reason; }
    // As a toolkit's close: the window goes only when the rules agree (posted, as Win32's: never).
    void CloseWindow() override {
        if (!PostClose && Rules != nullptr && Rules->CloseAsked()) Closed = true;
    }

    TWindowRules* Rules = nullptr;
    // The controls as a window starts.
    std::string Label;
    TLabelColour Colour = TLabelColour::Normal;
    int LabelTop = kLabelTopWithSizes;
    bool SendRead = false;
    bool SizesShown = false;
    int SizeIndex = 0;
    bool FastVerify = true;
    bool FastVerifyTicked = false;
    bool LockTicked = false;
    std::string Status;
    std::vector<std::string> Statuses;
    std::string Notice;
    std::pair<int, int> Bar{0, 100};
    int BarPosition = 0;
    bool Timer = false;
    std::vector<bool> TimerHistory;
    bool WaitCursor = false;
    std::function<std::optional<std::string>(TFileDialog)> Chooser;
    // The type the user picks in the dialog; unset: the one it opened with.
    std::optional<int> ChosenFilter;
    std::vector<TFileDialog> Asked;
    std::vector<TFileRequest> Requests;
    std::vector<std::string> Messages;
    std::function<void()> OnMessage;
    int BoxesClosed = 0;
    std::vector<std::string> Errors;
    bool Closed = false;
    bool PostClose = false;
    std::string BlockReason;
};

// The test's thread is the GUI thread: a wake is noted, and ServeUntil
// drains the window's queue whenever one comes.
class TestWake : public IGuiWake {
public:
    void WakeGui() override {
        {
            std::lock_guard lock(FLock);
            ++FWakes;
        }
        FWoken.notify_all();
    }
    // Waits for a wake (or `limit`); false when none came.
    bool Wait(std::chrono::milliseconds limit) {
        std::unique_lock lock(FLock);
        const bool woken = FWoken.wait_for(lock, limit, [this] { return FWakes > 0; });
        FWakes = 0;
        return woken;
    }

private:
    std::mutex FLock;
    std::condition_variable FWoken;
    int FWakes = 0;
};

// A window without a toolkit: the rules over recording controls.
class FrontFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Rules = std::make_unique<TWindowRules>(Controls, Wake);
        Controls.Rules = Rules.get();
        Rules->Start();
    }
    void TearDown() override {
        Controls.Rules = nullptr;
        Rules.reset();
    }

    // Drains what the worker posts until `done` holds (false after `limit`).
    bool ServeUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            Rules->DrainPosted();
            if (done()) return true;
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::milliseconds(0)) return false;
            Wake.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(left));
        }
    }
    bool WaitIdle() {
        return ServeUntil([this] { return !Rules->Busy(); });
    }
    void Tick() {
        Rules->Tick();
        ASSERT_TRUE(WaitIdle());
    }
    // The link's images, once the commands given so far have run.
    std::pair<int, int> ImageSizes() {
        std::pair<int, int> sizes;
        Rules->Runner().Call([&](TProgrammerLink& link) {
            sizes = {link.SourceImage().MemSize(), link.ReadImage().MemSize()};
        });
        return sizes;
    }
    // The chip kind as a poll that recognised it leaves it.
    void ShowKind(TChipKind kind) {
        Rules->Runner().Call([kind](TProgrammerLink& link) { link.SetChipKind(kind); });
        Rules->SetChipKind(kind);
        Rules->UpdateChipDisplay();
    }

    RecordingControls Controls;
    TestWake Wake;
    std::unique_ptr<TWindowRules> Rules;
};

}  // namespace corvane::test
