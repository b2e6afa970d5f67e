// The Win32 window's boxes, in the test's own process (run by the window's
// test under Wine, on its X server): a box opened over another is told
// apart from it.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "FrmMain.h"
#include "WindowRules.h"

namespace {

using corvane::win::TFrmMain;

// The steps to run once from whichever message loop runs (a box's own).
std::map<UINT_PTR, std::function<void()>> gLater;

void CALLBACK RunLater(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    const auto step = gLater.extract(id);
    if (!step.empty()) step.mapped()();
}

void Later(UINT ms, std::function<void()> step) {
    gLater[SetTimer(nullptr, 0, ms, RunLater)] = std::move(step);
}

// The boxes open over `owner`.
std::vector<HWND> Boxes(HWND owner) {
    std::vector<HWND> boxes;
    const auto each = [](HWND window, LPARAM found) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (std::wstring(name) == L"#32770")
            reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        return TRUE;
    };
    EnumThreadWindows(GetCurrentThreadId(), each, reinterpret_cast<LPARAM>(&boxes));
    std::erase_if(boxes, [owner](HWND box) { return GetWindow(box, GW_OWNER) != owner; });
    return boxes;
}

std::wstring BoxText(HWND box) {
    wchar_t text[256] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 256);  // the box's static text
    return text;
}

void CloseBoxes(HWND owner) {
    for (HWND box : Boxes(owner)) PostMessageW(box, WM_COMMAND, IDOK, 0);
}

class FrmMainBoxes : public ::testing::Test {
protected:
    FrmMainBoxes() {
        FFrm.Create(SW_SHOWNA);
        // Whatever a fault leaves open is closed, so the test ends.
        Later(20000, [this] { CloseBoxes(FFrm.Handle()); });
    }
    ~FrmMainBoxes() override {
        gLater.clear();
        FFrmHolder.reset();
        // The window's end posts the loop's end, which the next test's box would take.
        MSG message;
        while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    std::optional<TFrmMain> FFrmHolder{std::in_place};
    TFrmMain& FFrm = *FFrmHolder;
};

// A stop closes the link's box by its OK: the box the link opened, not an
// error box opened over it.
TEST_F(FrmMainBoxes, AStopClosesTheLinksBoxAndNoOther) {
    std::vector<std::wstring> shown;
    Later(100, [&] {
        Later(100, [&] {
            FFrm.CloseMessageBox();
            for (HWND box : Boxes(FFrm.Handle())) {
                if (IsWindowVisible(box)) shown.push_back(BoxText(box));
            }
            CloseBoxes(FFrm.Handle());
        });
        FFrm.ShowError("an error");
    });
    FFrm.ShowMessageBox("the link's question");
    EXPECT_EQ(shown, std::vector<std::wstring>{L"an error"});
}

// An exception that leaves the window procedure while an error box is open
// opens no second box over it.
TEST_F(FrmMainBoxes, AnExceptionOutOfTheWindowProcedureWaitsForTheOpenErrorBox) {
    std::size_t open = 0;
    Later(100, [&] {
        FFrm.Rules().Queue().Post([] { throw std::runtime_error("a second error"); });
        Later(300, [&] {
            open = Boxes(FFrm.Handle()).size();
            CloseBoxes(FFrm.Handle());
        });
    });
    FFrm.Rules().ShowError("an error");
    EXPECT_EQ(open, 1u);
}

}  // namespace
