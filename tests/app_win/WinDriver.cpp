// Drives corvane.exe from another process as a user would: finds the window
// by its caption, reads its controls, clicks, presses keys and fills the
// system's file dialogs. Each argument is one step, run in order:
//
//   label=TEXT          wait until the chip's label shows TEXT
//   status=TEXT         wait until the status line shows TEXT
//   status!=TEXT        wait until it shows something else
//   bar>=N              wait until the progress bar reaches N
//   check:NAME=STATE    wait for a control's state: NAME one of send, read, lock,
//                       fastverify, memsize, 4kb; STATE one of enabled,
//                       disabled, shown, hidden, checked, unchecked
//   click:NAME          click a control (send and read open their dialogs)
//   open:PATH save:PATH fill the open-file or save-file dialog and accept it
//   key:KEY             a key in the window: escape, enter, alt+LETTER
//   ping-until=TEXT     send WM_NULL to the window every 50 ms, from this
//                       process, until the status line shows TEXT; prints
//                       the waits (worst, median, 99th percentile, how many
//                       over 16 ms); fails when one call waits over 2 s or
//                       the line says "... Failed!"
//   close               the window's close button; waits until it has gone
//   path                print the path of the window's program
//   snapshot            print the controls' texts and states
//
// Exits 0 when every step passed; otherwise prints the step that failed and
// what the window showed, and exits 1.

#include <windows.h>

// After windows.h, whose types they use.
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "Resources.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(90);
HWND gWindow = nullptr;

std::wstring Text(HWND window) {
    wchar_t buffer[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK,
                        5000, nullptr);
    return buffer;
}

HWND Control(const std::wstring& name) {
    static const struct {
        const wchar_t* Name;
        int Id;
    } kNames[] = {{L"send", IDC_BTNSEND},       {L"read", IDC_BTNREAD},
                  {L"lock", IDC_CHKLOCK},       {L"fastverify", IDC_CHKFASTVERIFY},
                  {L"memsize", IDC_RDOMEMSIZE}, {L"2kb", IDC_RDOMEMSIZE_2KB},
                  {L"4kb", IDC_RDOMEMSIZE_4KB}, {L"label", IDC_LBLTARGETCHIP},
                  {L"status", IDC_PNLVERBOSE},  {L"bar", IDC_PBLOADING}};
    for (const auto& entry : kNames) {
        if (name == entry.Name) return GetDlgItem(gWindow, entry.Id);
    }
    return nullptr;
}

void Snapshot() {
    std::wprintf(
        L"label '%ls' status '%ls' bar %d send %ls read %ls fastverify %ls/%ls lock %ls "
        L"memsize %ls\n",
        Text(Control(L"label")).c_str(), Text(Control(L"status")).c_str(),
        static_cast<int>(SendMessageW(Control(L"bar"), PBM_GETPOS, 0, 0)),
        IsWindowEnabled(Control(L"send")) ? L"enabled" : L"disabled",
        IsWindowEnabled(Control(L"read")) ? L"enabled" : L"disabled",
        IsWindowEnabled(Control(L"fastverify")) ? L"enabled" : L"disabled",
        SendMessageW(Control(L"fastverify"), BM_GETCHECK, 0, 0) ? L"checked" : L"unchecked",
        SendMessageW(Control(L"lock"), BM_GETCHECK, 0, 0) ? L"checked" : L"unchecked",
        IsWindowVisible(Control(L"memsize")) ? L"shown" : L"hidden");
    std::fflush(stdout);
}

[[noreturn]] void Fail(const std::wstring& step, const wchar_t* why) {
    std::fwprintf(stderr, L"FAIL: %ls: %ls\n", step.c_str(), why);
    if (gWindow != nullptr && IsWindow(gWindow)) Snapshot();
    std::exit(1);
}

template <typename F>
void WaitFor(const std::wstring& step, F&& condition) {
    const auto end = Clock::now() + kWait;
    while (!condition()) {
        if (Clock::now() > end) Fail(step, L"timed out");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The visible dialog that the window owns (a file dialog, a message box).
HWND OwnedDialog() {
    struct TSearch {
        HWND Found = nullptr;
    } search;
    EnumWindows(
        [](HWND candidate, LPARAM data) -> BOOL {
            wchar_t className[64] = {};
            GetClassNameW(candidate, className, 64);
            if (IsWindowVisible(candidate) && std::wcscmp(className, L"#32770") == 0 &&
                GetWindow(candidate, GW_OWNER) == gWindow) {
                reinterpret_cast<TSearch*>(data)->Found = candidate;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// The first descendant of `parent` of the window class `className` (and,
// unless 0, the control number `id`).
HWND Descendant(HWND parent, const wchar_t* className, int id) {
    struct TSearch {
        const wchar_t* ClassName;
        int Id;
        HWND Found;
    } search{className, id, nullptr};
    EnumChildWindows(
        parent,
        [](HWND candidate, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<TSearch*>(data);
            wchar_t name[64] = {};
            GetClassNameW(candidate, name, 64);
            if (std::wcscmp(name, s->ClassName) != 0 ||
                (s->Id != 0 && GetDlgCtrlID(candidate) != s->Id)) {
                return TRUE;
            }
            s->Found = candidate;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// The file name field of the system's file dialog: edt1, or the edit inside cmb13.
HWND FileNameField(HWND dialog) {
    if (HWND edit = GetDlgItem(dialog, 0x480); edit != nullptr && IsWindowVisible(edit)) {
        return edit;
    }
    if (HWND combo = GetDlgItem(dialog, 0x47c); combo != nullptr) {
        return Descendant(combo, L"Edit", 0);
    }
    return nullptr;
}

void FillFileDialog(const std::wstring& step, const std::wstring& path) {
    HWND dialog = nullptr;
    WaitFor(step, [&] { return (dialog = OwnedDialog()) != nullptr; });
    HWND field = nullptr;
    WaitFor(step, [&] { return (field = FileNameField(dialog)) != nullptr; });
    SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_BLOCK,
                        5000, nullptr);
    // The dialog's OK button (its tool bar may carry the same number).
    PostMessageW(Descendant(dialog, L"Button", IDOK), BM_CLICK, 0, 0);
    WaitFor(step, [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); });
}

bool StateIs(HWND control, const std::wstring& state) {
    if (state == L"enabled") return IsWindowEnabled(control);
    if (state == L"disabled") return !IsWindowEnabled(control);
    if (state == L"shown") return IsWindowVisible(control);
    if (state == L"hidden") return !IsWindowVisible(control);
    const LRESULT check = SendMessageW(control, BM_GETCHECK, 0, 0);
    if (state == L"checked") return check == BST_CHECKED;
    if (state == L"unchecked") return check == BST_UNCHECKED;
    return false;
}

void PingUntil(const std::wstring& step, const std::wstring& status) {
    const HWND line = Control(L"status");
    std::vector<long long> waits;  // microseconds
    const auto end = Clock::now() + std::chrono::minutes(10);
    auto next = Clock::now();
    for (std::wstring shown; (shown = Text(line)) != status;) {
        if (Clock::now() > end) Fail(step, L"timed out");
        if (shown.size() > 7 && shown.compare(shown.size() - 7, 7, L"Failed!") == 0) {
            Fail(step, shown.c_str());
        }
        const auto start = Clock::now();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(gWindow, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result)) {
            Fail(step, L"the window did not answer within 2 s");
        }
        waits.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        next += std::chrono::milliseconds(50);
        std::this_thread::sleep_until(next);
    }
    if (waits.empty()) waits.push_back(0);
    std::sort(waits.begin(), waits.end());
    const auto ms = [](long long us) { return static_cast<double>(us) / 1000; };
    const auto over = waits.end() - std::upper_bound(waits.begin(), waits.end(), 16000);
    std::wprintf(
        L"ping: %zu calls, worst wait %.1f ms, median %.1f ms, 99th percentile %.1f ms, "
        L"%d over 16 ms\n",
        waits.size(), ms(waits.back()), ms(waits[waits.size() / 2]),
        ms(waits[waits.size() * 99 / 100]), static_cast<int>(over));
    std::fflush(stdout);
}

// A key pressed in the window: the messages go to the control that has the
// keyboard, as the system's own would.
void PressKey(const std::wstring& step, const std::wstring& key) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(gWindow, nullptr), &info);
    HWND target = info.hwndFocus != nullptr ? info.hwndFocus : gWindow;
    if (key == L"escape" || key == L"enter") {
        const WPARAM code = key == L"escape" ? VK_ESCAPE : VK_RETURN;
        PostMessageW(target, WM_KEYDOWN, code, 0x00000001);
        PostMessageW(target, WM_KEYUP, code, 0xC0000001);
    } else if (key.size() == 5 && key.rfind(L"alt+", 0) == 0) {
        // The letter with Alt held: the menu character that reaches a mnemonic.
        PostMessageW(target, WM_SYSCHAR, key[4], 0x20000001);
    } else {
        Fail(step, L"unknown key");
    }
}

void Run(const std::wstring& step) {
    const auto value = [&step](std::size_t prefix) { return step.substr(prefix); };
    if (step.rfind(L"label=", 0) == 0) {
        WaitFor(step, [&] { return Text(Control(L"label")) == value(6); });
    } else if (step.rfind(L"status=", 0) == 0) {
        WaitFor(step, [&] { return Text(Control(L"status")) == value(7); });
    } else if (step.rfind(L"status!=", 0) == 0) {
        WaitFor(step, [&] { return Text(Control(L"status")) != value(8); });
    } else if (step.rfind(L"bar>=", 0) == 0) {
        const int least = std::stoi(value(5));
        WaitFor(step, [&] { return SendMessageW(Control(L"bar"), PBM_GETPOS, 0, 0) >= least; });
    } else if (step.rfind(L"check:", 0) == 0) {
        const std::size_t eq = step.find(L'=');
        HWND control = Control(step.substr(6, eq - 6));
        if (control == nullptr || eq == std::wstring::npos) Fail(step, L"no such control");
        WaitFor(step, [&] { return StateIs(control, value(eq + 1)); });
    } else if (step.rfind(L"click:", 0) == 0) {
        HWND control = Control(value(6));
        if (control == nullptr) Fail(step, L"no such control");
        PostMessageW(control, BM_CLICK, 0, 0);
    } else if (step.rfind(L"open:", 0) == 0 || step.rfind(L"save:", 0) == 0) {
        FillFileDialog(step, value(5));
    } else if (step.rfind(L"key:", 0) == 0) {
        PressKey(step, value(4));
    } else if (step.rfind(L"ping-until=", 0) == 0) {
        PingUntil(step, value(11));
    } else if (step == L"close") {
        PostMessageW(gWindow, WM_CLOSE, 0, 0);
        WaitFor(step, [] { return !IsWindow(gWindow); });
    } else if (step == L"path") {
        DWORD process = 0;
        GetWindowThreadProcessId(gWindow, &process);
        HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
        wchar_t path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (handle == nullptr || !QueryFullProcessImageNameW(handle, 0, path, &size)) {
            Fail(step, L"no program path");
        }
        CloseHandle(handle);
        std::wprintf(L"program: %ls\n", path);
        std::fflush(stdout);
    } else if (step == L"snapshot") {
        Snapshot();
    } else {
        Fail(step, L"unknown step");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    WaitFor(L"find the window", [] {
        gWindow = FindWindowW(nullptr, CORVANE_CAPTION);
        return gWindow != nullptr && IsWindowVisible(gWindow);
    });
    for (int i = 1; i < argc; ++i) Run(argv[i]);
    return 0;
}
