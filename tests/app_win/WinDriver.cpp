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
//   type:N              choose the Nth entry (from 1) of the file dialog's
//                       list of types, as a user picks it
//   key:KEY             a key in the window: escape, enter, alt+LETTER
//   press:KEY           a key typed as the keyboard types it (SendInput, to
//                       the window in the foreground): enter, tab, escape
//   focus:NAME          give a control the keyboard, as Tab would
//   first-state         the window as it starts: captions, places (96 dots
//                       per inch), Send and Read disabled, no size choice
//   drop:PATH           drop the file on the window, as Explorer drops it
//   ping-until=TEXT     send WM_NULL to the window every 50 ms, from this
//                       process, until the status line shows TEXT; prints
//                       the waits (worst, median, 99th percentile, how many
//                       over 16 ms); fails when one call waits over 2 s or
//                       the line says "... Failed!"
//   ping-until:NAME~TEXT  the same until a text (as NAME~TEXT) holds TEXT
//   timed-send:PATH     click Send and fill the open-file dialog with PATH,
//                       pinging the window (WM_NULL every 10 ms) all along;
//                       prints how long the dialog took to open, to close,
//                       and the work to begin, with the worst wait of each
//   mark  since-mark    note the time; print the time since the mark
//   close               the window's close button; waits until it has gone
//   close-ask           the window's close button, without waiting
//   gone                wait until the window has gone
//   path                print the path of the window's program
//   field:NAME=TEXT     type TEXT into the station dialog's field NAME (file,
//                       log, address, start, format, chips)
//   tick:NAME           tick the station dialog's box NAME (serial, sound)
//   accept              the station dialog's Start
//   NAME~TEXT           wait until a text holds TEXT: NAME one of title,
//                       notice, counts, details, stop, or the dialog's error
//   tile:PORT:PART~TEXT wait until the tile of the board on PORT shows TEXT in
//                       PART (head, words, result, failure)
//   tile:PORT:go        click the tile's Go; tile:PORT:space: give the tile
//                       the keyboard and press the space bar
//   snapshot            print the controls' texts and states
//
// Exits 0 when every step passed; otherwise prints the step that failed and
// what the window showed, and exits 1.

#include <windows.h>

// After windows.h, whose types they use.
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "Resources.h"
#include "WaitSummary.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(90);
HWND gWindow = nullptr;
Clock::time_point gMark = Clock::now();

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
    } kNames[] = {{L"send", IDC_BTNSEND},          {L"read", IDC_BTNREAD},
                  {L"lock", IDC_CHKLOCK},          {L"fastverify", IDC_CHKFASTVERIFY},
                  {L"memsize", IDC_RDOMEMSIZE},    {L"2kb", IDC_RDOMEMSIZE_2KB},
                  {L"4kb", IDC_RDOMEMSIZE_4KB},    {L"label", IDC_LBLTARGETCHIP},
                  {L"status", IDC_PNLVERBOSE},     {L"bar", IDC_PBLOADING},
                  {L"station", IDC_BTNSTATION},    {L"notice", IDC_STATION_NOTICE},
                  {L"counts", IDC_STATION_COUNTS}, {L"details", IDC_STATION_DETAILS},
                  {L"stop", IDC_STATION_STOP}};
    for (const auto& entry : kNames) {
        if (name == entry.Name) return GetDlgItem(gWindow, entry.Id);
    }
    return name == L"title" ? gWindow : nullptr;
}

// A tile's control (head, words, result, failure, go) on the board on `port`.
HWND TileControl(const std::wstring& port, const std::wstring& part) {
    static const struct {
        const wchar_t* Name;
        int Id;
    } kParts[] = {{L"head", IDC_TILE_HEAD},
                  {L"words", IDC_TILE_WORDS},
                  {L"result", IDC_TILE_RESULT},
                  {L"failure", IDC_TILE_FAILURE},
                  {L"go", IDC_TILE_GO}};
    for (int i = 0; HWND tile = GetDlgItem(gWindow, IDC_TILE + i); ++i) {
        if (Text(GetDlgItem(tile, IDC_TILE_HEAD)).find(port) != 0) continue;
        for (const auto& entry : kParts) {
            if (part == entry.Name) return GetDlgItem(tile, entry.Id);
        }
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
    for (const wchar_t* name : {L"title", L"notice", L"counts", L"details", L"stop"}) {
        std::wprintf(L"%ls '%ls'\n", name, Text(Control(name)).c_str());
    }
    for (int i = 0; HWND tile = GetDlgItem(gWindow, IDC_TILE + i); ++i) {
        std::wprintf(L"tile %d:", i);
        for (int id : {IDC_TILE_HEAD, IDC_TILE_WORDS, IDC_TILE_RESULT, IDC_TILE_FAILURE}) {
            std::wprintf(L" '%ls'", Text(GetDlgItem(tile, id)).c_str());
        }
        std::wprintf(L" go %ls\n", IsWindowEnabled(GetDlgItem(tile, IDC_TILE_GO)) ? L"on" : L"off");
    }
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

// Picks entry `number` (from 1) of the open file dialog's list of types, and
// tells the dialog as the list itself does when a user picks one.
void ChooseFileType(const std::wstring& step, int number) {
    constexpr int kTypeList = 0x470;  // cmb1
    HWND dialog = nullptr;
    HWND list = nullptr;
    WaitFor(step, [&] {
        return (dialog = OwnedDialog()) != nullptr && (list = GetDlgItem(dialog, kTypeList));
    });
    if (SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(number - 1), 0) == CB_ERR) {
        Fail(step, L"no such type");
    }
    // A pick with the mouse or the keyboard: the change, then the end of the choice.
    for (const WORD notification : {CBN_SELCHANGE, CBN_SELENDOK}) {
        SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(kTypeList, notification),
                            reinterpret_cast<LPARAM>(list), SMTO_BLOCK, 5000, nullptr);
    }
}

// Pings the window every 10 ms until `done` holds; prints how long that took
// and the longest the window took to answer a ping meanwhile.
template <typename F>
void PingWhileWaiting(const std::wstring& step, const wchar_t* what, F&& done) {
    const auto start = Clock::now();
    Clock::duration worst{};
    while (!done()) {
        if (Clock::now() - start > kWait) Fail(step, L"timed out");
        const auto before = Clock::now();
        DWORD_PTR result = 0;
        SendMessageTimeoutW(gWindow, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
        worst = std::max(worst, Clock::now() - before);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto ms = [](Clock::duration d) {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    std::wprintf(L"%ls: %ld ms, worst wait %ld ms\n", what, ms(Clock::now() - start), ms(worst));
    std::fflush(stdout);
}

void TimedSend(const std::wstring& step, const std::wstring& path) {
    const std::wstring before = Text(Control(L"status"));
    PostMessageW(Control(L"send"), BM_CLICK, 0, 0);
    HWND dialog = nullptr;
    HWND field = nullptr;
    PingWhileWaiting(step, L"click to the open dialog shown", [&] {
        return (dialog = OwnedDialog()) != nullptr && (field = FileNameField(dialog)) != nullptr;
    });
    SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_BLOCK,
                        5000, nullptr);
    PostMessageW(Descendant(dialog, L"Button", IDOK), BM_CLICK, 0, 0);
    PingWhileWaiting(step, L"OK to the dialog gone",
                     [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); });
    PingWhileWaiting(step, L"dialog gone to the work's first status",
                     [&] { return Text(Control(L"status")) != before; });
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

// Sends the window WM_NULL every 50 ms until `done` holds (it fails the step
// itself for a state that ends the wait for good); prints the waits.
template <typename F>
void PingUntil(const std::wstring& step, F&& done) {
    std::vector<long long> waits;  // microseconds
    const auto end = Clock::now() + std::chrono::minutes(10);
    auto next = Clock::now();
    while (!done()) {
        if (Clock::now() > end) Fail(step, L"timed out");
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
    const std::string summary = corvane::test::WaitSummary(std::move(waits));
    std::wprintf(L"ping: %ls\n", std::wstring(summary.begin(), summary.end()).c_str());
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

// A key typed on the keyboard: the system gives it to the control that has
// the keyboard, or, when none has, to the active window as a system key.
void TypeKey(const std::wstring& step, const std::wstring& key) {
    WORD code = 0;
    if (key == L"enter") code = VK_RETURN;
    if (key == L"tab") code = VK_TAB;
    if (key == L"escape") code = VK_ESCAPE;
    if (code == 0) Fail(step, L"unknown key");
    SetForegroundWindow(gWindow);
    WaitFor(step, [] { return GetForegroundWindow() == gWindow; });
    INPUT input[2] = {};
    for (INPUT& i : input) {
        i.type = INPUT_KEYBOARD;
        i.ki.wVk = code;
    }
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    if (SendInput(2, input, sizeof(INPUT)) != 2) Fail(step, L"SendInput");
}

// The window as it starts, before a programmer is found.
void FirstState(const std::wstring& step) {
    static const struct {
        int Id;
        const wchar_t* Text;
        RECT Place;  // left, top, width, height in the client area
    } kControls[] = {
        {IDC_GROUPBOX1, L"Target Chip", {0, 0, 217, 98}},
        {IDC_LBLTARGETCHIP, L"", {2, 15, 213, 26}},
        {IDC_PNLVERBOSE, nullptr, {2, 76, 213, 20}},
        {IDC_GROUPBOX2, L"Option", {217, 0, 85, 98}},
        {IDC_CHKLOCK, L"&Lock", {220, 13, 53, 17}},
        {IDC_CHKFASTVERIFY, L"&Fast Verify", {220, 28, 78, 17}},
        {IDC_BTNSEND, L"&Send", {221, 46, 77, 25}},
        {IDC_BTNREAD, L"&Read", {221, 72, 77, 23}},
        {IDC_PBLOADING, L"", {0, 98, 302, 20}},
        {IDC_BTNSTATION, L"Sta&tion...", {221, 121, 77, 23}},
    };
    RECT client{};
    GetClientRect(gWindow, &client);
    if (client.right != 302 || client.bottom != 146)
        Fail(step, L"the client area is not 302 x 146");
    for (const auto& control : kControls) {
        const HWND item = GetDlgItem(gWindow, control.Id);
        RECT r{};
        GetWindowRect(item, &r);
        MapWindowPoints(nullptr, gWindow, reinterpret_cast<POINT*>(&r), 2);
        const RECT& p = control.Place;
        if (r.left != p.left || r.top != p.top || r.right - r.left != p.right ||
            r.bottom - r.top != p.bottom) {
            std::fwprintf(stderr, L"control %d at %ld,%ld %ldx%ld\n", control.Id, r.left, r.top,
                          r.right - r.left, r.bottom - r.top);
            Fail(step, L"a control is not in its place");
        }
        if (control.Text != nullptr && Text(item) != control.Text) {
            Fail(step, (L"a caption: " + Text(item)).c_str());
        }
    }
    if (IsWindowEnabled(Control(L"send")) || IsWindowEnabled(Control(L"read"))) {
        Fail(step, L"Send or Read is enabled");
    }
    if (IsWindowVisible(Control(L"memsize")) || !IsWindowEnabled(Control(L"fastverify"))) {
        Fail(step, L"the size choice or Fast Verify");
    }
}

// A file dropped as Explorer drops it: a DROPFILES block in the window's
// own process (the message's handle is the window process's memory) and
// WM_DROPFILES.
void Drop(const std::wstring& step, const std::wstring& path) {
    DWORD process = 0;
    GetWindowThreadProcessId(gWindow, &process);
    HANDLE handle = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, process);
    if (handle == nullptr) Fail(step, L"OpenProcess");
    std::vector<char> block(sizeof(DROPFILES) + (path.size() + 2) * sizeof(wchar_t), 0);
    auto* files = reinterpret_cast<DROPFILES*>(block.data());
    files->pFiles = sizeof(DROPFILES);
    files->fWide = TRUE;
    std::memcpy(block.data() + sizeof(DROPFILES), path.c_str(), path.size() * sizeof(wchar_t));
    void* remote =
        VirtualAllocEx(handle, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr ||
        !WriteProcessMemory(handle, remote, block.data(), block.size(), nullptr)) {
        Fail(step, L"the drop's memory");
    }
    CloseHandle(handle);
    PostMessageW(gWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0);
}

// The station dialog's controls.
HWND DialogControl(const std::wstring& step, const std::wstring& name) {
    static const struct {
        const wchar_t* Name;
        int Id;
    } kNames[] = {{L"file", IDC_ST_FILE},     {L"log", IDC_ST_LOG},
                  {L"serial", IDC_ST_SERIAL}, {L"address", IDC_ST_ADDRESS},
                  {L"start", IDC_ST_START},   {L"format", IDC_ST_FORMAT},
                  {L"chips", IDC_ST_CHIPS},   {L"sound", IDC_ST_SOUND},
                  {L"error", IDC_ST_ERROR},   {L"accept", IDOK}};
    HWND dialog = nullptr;
    WaitFor(step, [&] { return (dialog = OwnedDialog()) != nullptr; });
    for (const auto& entry : kNames) {
        if (name == entry.Name) return GetDlgItem(dialog, entry.Id);
    }
    Fail(step, L"no such field");
}

// A step on a station tile: PART~TEXT, go, space.
void TileStep(const std::wstring& step) {
    const std::size_t colon = step.find(L':', 5);
    const std::wstring port = step.substr(5, colon - 5);
    const std::wstring action = colon == std::wstring::npos ? L"" : step.substr(colon + 1);
    const std::size_t tilde = action.find(L'~');
    // Go and the space bar both wait for the tile's Go.
    const std::wstring part = action == L"space" ? L"go" : action.substr(0, tilde);
    HWND control = nullptr;
    WaitFor(step, [&] {
        return (control = TileControl(port, part)) != nullptr &&
               (tilde == std::wstring::npos ||
                Text(control).find(action.substr(tilde + 1)) != std::wstring::npos);
    });
    if (action == L"go") {
        WaitFor(step, [&] { return IsWindowEnabled(control) != FALSE; });
        PostMessageW(control, BM_CLICK, 0, 0);
    } else if (action == L"space") {
        WaitFor(step, [&] { return IsWindowEnabled(control) != FALSE; });
        const HWND tile = GetParent(control);
        PostMessageW(gWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(tile), TRUE);
        PostMessageW(tile, WM_KEYDOWN, VK_SPACE, 0x00390001);
        PostMessageW(tile, WM_KEYUP, VK_SPACE, 0xC0390001);
    }
}

void Run(const std::wstring& step) {
    const auto value = [&step](std::size_t prefix) { return step.substr(prefix); };
    const std::size_t tilde = step.find(L'~');
    if (step.rfind(L"tile:", 0) == 0) {
        TileStep(step);
    } else if (step.rfind(L"field:", 0) == 0) {
        const std::size_t eq = step.find(L'=');
        const std::wstring text = value(eq + 1);
        SendMessageTimeoutW(DialogControl(step, step.substr(6, eq - 6)), WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(text.c_str()), SMTO_BLOCK, 5000, nullptr);
    } else if (step == L"accept") {
        PostMessageW(DialogControl(step, step), BM_CLICK, 0, 0);
    } else if (step.rfind(L"tick:", 0) == 0) {
        HWND box = DialogControl(step, value(5));
        if (!StateIs(box, L"checked")) PostMessageW(box, BM_CLICK, 0, 0);
        WaitFor(step, [&] { return StateIs(box, L"checked"); });
    } else if (tilde != std::wstring::npos && step.find(L':') > tilde) {
        const std::wstring name = step.substr(0, tilde);
        WaitFor(step, [&] {
            HWND control = name == L"error" ? DialogControl(step, name) : Control(name);
            return control != nullptr && Text(control).find(value(tilde + 1)) != std::wstring::npos;
        });
    } else if (step.rfind(L"label=", 0) == 0) {
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
    } else if (step.rfind(L"type:", 0) == 0) {
        ChooseFileType(step, std::stoi(value(5)));
    } else if (step.rfind(L"key:", 0) == 0) {
        PressKey(step, value(4));
    } else if (step.rfind(L"press:", 0) == 0) {
        TypeKey(step, value(6));
    } else if (step.rfind(L"focus:", 0) == 0) {
        HWND control = Control(value(6));
        if (control == nullptr) Fail(step, L"no such control");
        PostMessageW(gWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        WaitFor(step, [&] {
            GetGUIThreadInfo(GetWindowThreadProcessId(gWindow, nullptr), &info);
            return info.hwndFocus == control;
        });
    } else if (step == L"first-state") {
        FirstState(step);
    } else if (step.rfind(L"drop:", 0) == 0) {
        Drop(step, value(5));
    } else if (step.rfind(L"ping-until=", 0) == 0) {
        const std::wstring status = value(11);
        PingUntil(step, [&] {
            const std::wstring shown = Text(Control(L"status"));
            if (shown.size() > 7 && shown.compare(shown.size() - 7, 7, L"Failed!") == 0) {
                Fail(step, shown.c_str());
            }
            return shown == status;
        });
    } else if (step.rfind(L"ping-until:", 0) == 0 && tilde != std::wstring::npos) {
        const HWND control = Control(step.substr(11, tilde - 11));
        if (control == nullptr) Fail(step, L"no such control");
        PingUntil(step, [&] { return Text(control).find(value(tilde + 1)) != std::wstring::npos; });
    } else if (step == L"close") {
        PostMessageW(gWindow, WM_CLOSE, 0, 0);
        WaitFor(step, [] { return !IsWindow(gWindow); });
    } else if (step.rfind(L"timed-send:", 0) == 0) {
        TimedSend(step, value(11));
    } else if (step == L"mark") {
        gMark = Clock::now();
    } else if (step == L"since-mark") {
        std::wprintf(L"since the mark: %.2f s\n",
                     std::chrono::duration<double>(Clock::now() - gMark).count());
        std::fflush(stdout);
    } else if (step == L"close-ask") {
        PostMessageW(gWindow, WM_CLOSE, 0, 0);
    } else if (step == L"gone") {
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
        gWindow = FindWindowW(CORVANE_CLASS, nullptr);
        return gWindow != nullptr && IsWindowVisible(gWindow);
    });
    for (int i = 1; i < argc; ++i) Run(argv[i]);
    return 0;
}
