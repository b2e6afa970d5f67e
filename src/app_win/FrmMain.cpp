#include "FrmMain.h"

// After windows.h (FrmMain.h), whose types they use.
#include <commctrl.h>
#include <commdlg.h>

#include <cwchar>
#include <exception>
#include <vector>

#include "ProgramEnd.h"
#include "Resources.h"
#include "StationWin.h"
#include "Win32.h"
#include "WindowRules.h"
#include "XpmGlyph.h"
// The buttons' glyphs, as the Linux window has them.
#include "read.xpm"
#include "send.xpm"

namespace corvane::win {

namespace {

constexpr const wchar_t* kClassName = CORVANE_CLASS;
// Posted by WakeGui: the rules' queue has jobs for the GUI thread.
constexpr UINT kWakeMessage = WM_APP + 1;
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT kTimer1Interval = 1000;
constexpr DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kWindowExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
// The client area at 96 dots per inch.
constexpr int kClientWidth = 302;
constexpr int kClientHeight = 146;
constexpr COLORREF kStatusColour = RGB(0, 0, 255);
constexpr COLORREF kAlertColour = RGB(255, 0, 0);
constexpr wchar_t kDialogFont[] = L"MS Shell Dlg 2";

// The controls, in the order of the Tab key, with their places at 96 dots
// per inch (the label's top is the rules' to set).
struct TControlPlace {
    int Id;
    const wchar_t* Class;
    const wchar_t* Text;
    DWORD Style;
    DWORD ExStyle;
    RECT Place;  // left, top, width, height
};

const TControlPlace kControls[] = {
    {IDC_GROUPBOX1, WC_BUTTONW, L"Target Chip", BS_GROUPBOX, 0, {0, 0, 217, 98}},
    {IDC_LBLTARGETCHIP, WC_STATICW, L"", SS_CENTER | SS_NOPREFIX, 0, {2, 15, 213, 26}},
    {IDC_RDOMEMSIZE, WC_BUTTONW, L"Code Memory", BS_GROUPBOX, 0, {2, 41, 213, 35}},
    {IDC_RDOMEMSIZE_2KB,
     WC_BUTTONW,
     L"2KB",
     BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP,
     0,
     {10, 56, 95, 17}},
    {IDC_RDOMEMSIZE_4KB, WC_BUTTONW, L"4KB", BS_AUTORADIOBUTTON, 0, {113, 56, 95, 17}},
    {IDC_PNLVERBOSE,
     WC_STATICW,
     L"",
     SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX | SS_NOTIFY | WS_GROUP,
     WS_EX_STATICEDGE,
     {2, 76, 213, 20}},
    {IDC_GROUPBOX2, WC_BUTTONW, L"Option", BS_GROUPBOX, 0, {217, 0, 85, 98}},
    {IDC_CHKLOCK,
     WC_BUTTONW,
     L"&Lock",
     BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP,
     0,
     {220, 13, 53, 17}},
    {IDC_CHKFASTVERIFY,
     WC_BUTTONW,
     L"&Fast Verify",
     BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP,
     0,
     {220, 28, 78, 17}},
    // Before Send in the Tab order: the keyboard that leaves a disabled Send
    // (a board unplugged) goes round to Lock, where Enter still sends.
    {IDC_BTNSTATION,
     WC_BUTTONW,
     L"Sta&tion...",
     BS_PUSHBUTTON | WS_GROUP | WS_TABSTOP,
     0,
     {221, 121, 77, 23}},
    {IDC_BTNSEND,
     WC_BUTTONW,
     L"&Send",
     BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP | WS_DISABLED,
     0,
     {221, 46, 77, 25}},
    {IDC_BTNREAD,
     WC_BUTTONW,
     L"&Read",
     BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED,
     0,
     {221, 72, 77, 23}},
    {IDC_PBLOADING, PROGRESS_CLASSW, L"", WS_GROUP, 0, {0, 98, 302, 20}},
};

// The system's per-monitor calls, where the system has them (Windows 10 1607
// and later, Wine); before that the screen's one DPI holds.
using TGetDpiForWindow = UINT(WINAPI*)(HWND);
using TAdjustWindowRectExForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using TGetSystemMetricsForDpi = int(WINAPI*)(int, UINT);

template <typename F>
F User32Call(const char* name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

UINT WindowDpi(HWND window) {
    static const auto getDpi = User32Call<TGetDpiForWindow>("GetDpiForWindow");
    if (getDpi != nullptr) return getDpi(window);
    HDC dc = GetDC(window);
    const UINT dpi = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSY));
    ReleaseDC(window, dc);
    return dpi;
}

RECT OuterRect(int clientWidth, int clientHeight, UINT dpi) {
    static const auto adjust = User32Call<TAdjustWindowRectExForDpi>("AdjustWindowRectExForDpi");
    RECT rect{0, 0, clientWidth, clientHeight};
    if (adjust != nullptr) {
        adjust(&rect, kWindowStyle, FALSE, kWindowExStyle, dpi);
    } else {
        AdjustWindowRectEx(&rect, kWindowStyle, FALSE, kWindowExStyle);
    }
    return rect;
}

int MetricForDpi(int metric, UINT dpi) {
    static const auto metrics = User32Call<TGetSystemMetricsForDpi>("GetSystemMetricsForDpi");
    return metrics != nullptr ? metrics(metric, dpi) : GetSystemMetrics(metric);
}

}  // namespace

HFONT MakeFont(int points, bool bold, UINT dpi) {
    return CreateFontW(-MulDiv(points, static_cast<int>(dpi), 72), 0, 0, 0,
                       bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, kDialogFont);
}

namespace {

// Text for the screen: UTF-8, or (an exception's message from the system)
// the system's 8-bit code page.
std::wstring ScreenText(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0);
    if (n > 0) return Widen(text);
    std::wstring wide(text.size(), L'\0');
    const int m = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(m > 0 ? m : 0));
    return wide;
}

}  // namespace

TFrmMain::TFrmMain() = default;

TFrmMain::~TFrmMain() {
    // The rules go first, the station's before the window's: they stop the
    // work and end the worker, which posts to this window.
    FStation.reset();
    FRules.reset();
    if (FWindow != nullptr && IsWindow(FWindow)) DestroyWindow(FWindow);
    for (HICON icon : {FSendGlyph, FReadGlyph, FBigIcon, FSmallIcon}) {
        if (icon != nullptr) DestroyIcon(icon);
    }
    for (HFONT font : {FFont, FLabelFont}) {
        if (font != nullptr) DeleteObject(font);
    }
}

void TFrmMain::Create(int showCommand) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    // A window of the dialog class: DefDlgProc gives the dialog keyboard.
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_CORVANE));
    windowClass.lpszClassName = kClassName;
    // Registered once per process, by the first window made.
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        throw std::runtime_error(SystemErrorText(GetLastError()));
    }

    const RECT outer = OuterRect(kClientWidth, kClientHeight, 96);
    FWindow = CreateWindowExW(kWindowExStyle, kClassName, CORVANE_CAPTION, kWindowStyle, 220, 108,
                              outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                              instance, this);
    if (FWindow == nullptr) throw std::runtime_error(SystemErrorText(GetLastError()));
    CreateControls();
    ApplyDpi(WindowDpi(FWindow));
    SizeClient(0, 0);

    FRules = std::make_unique<TWindowRules>(*this, *this);
    FRules->Start();
    FStation = std::make_unique<TStationWin>(
        FWindow, *FRules, [this](int width, int height) { SizeClient(width, height); });
    FStation->ApplyDpi(FDpi, FFont);
    // Files dropped from Explorer come as WM_DROPFILES.
    DragAcceptFiles(FWindow, TRUE);
    ShowWindow(FWindow, showCommand);
    // The first control that takes the keyboard (Send and Read wait for a chip).
    SendMessageW(FWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDC_CHKLOCK)), TRUE);
}

void TFrmMain::CreateControls() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const TControlPlace& control : kControls) {
        CreateWindowExW(control.ExStyle, control.Class, control.Text,
                        WS_CHILD | WS_VISIBLE | control.Style, 0, 0, 0, 0, FWindow,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.Id)), instance,
                        nullptr);
    }
    SetMemSizeVisible(false);
    CheckRadioButton(FWindow, IDC_RDOMEMSIZE_2KB, IDC_RDOMEMSIZE_4KB, IDC_RDOMEMSIZE_2KB);
    SendMessageW(Item(IDC_PBLOADING), PBM_SETRANGE32, 0, 100);
    // Enter presses Send.
    SendMessageW(FWindow, DM_SETDEFID, IDC_BTNSEND, 0);

    FToolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, FWindow,
                               nullptr, instance, nullptr);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = FWindow;
    tool.uId = reinterpret_cast<UINT_PTR>(Item(IDC_PNLVERBOSE));
    tool.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(FToolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(FToolTip, TTM_ACTIVATE, FALSE, 0);
}

void TFrmMain::ApplyDpi(UINT dpi) {
    FDpi = dpi;
    for (HFONT font : {FFont, FLabelFont}) {
        if (font != nullptr) DeleteObject(font);
    }
    FFont = MakeFont(8, false, dpi);
    FLabelFont = MakeFont(18, true, dpi);
    for (const TControlPlace& control : kControls) {
        SendMessageW(Item(control.Id), WM_SETFONT,
                     reinterpret_cast<WPARAM>(control.Id == IDC_LBLTARGETCHIP ? FLabelFont : FFont),
                     FALSE);
    }
    SendMessageW(FToolTip, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);

    HICON oldSend = FSendGlyph, oldRead = FReadGlyph;
    FSendGlyph = MakeGlyphIcon(send_xpm, dpi);
    FReadGlyph = MakeGlyphIcon(read_xpm, dpi);
    SendMessageW(Item(IDC_BTNSEND), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(FSendGlyph));
    SendMessageW(Item(IDC_BTNREAD), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(FReadGlyph));
    for (HICON icon : {oldSend, oldRead}) {
        if (icon != nullptr) DestroyIcon(icon);
    }

    HICON oldBig = FBigIcon, oldSmall = FSmallIcon;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    FBigIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_CORVANE), IMAGE_ICON,
                                             MetricForDpi(SM_CXICON, dpi),
                                             MetricForDpi(SM_CYICON, dpi), 0));
    FSmallIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_CORVANE), IMAGE_ICON,
                                               MetricForDpi(SM_CXSMICON, dpi),
                                               MetricForDpi(SM_CYSMICON, dpi), 0));
    SendMessageW(FWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(FBigIcon));
    SendMessageW(FWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(FSmallIcon));
    for (HICON icon : {oldBig, oldSmall}) {
        if (icon != nullptr) DestroyIcon(icon);
    }
    PlaceControls();
    if (FStation) FStation->ApplyDpi(dpi, FFont);
    InvalidateRect(FWindow, nullptr, TRUE);
}

void TFrmMain::SizeClient(int width, int height) {
    const RECT sized = OuterRect(Scale(width > 0 ? width : kClientWidth),
                                 Scale(height > 0 ? height : kClientHeight), FDpi);
    SetWindowPos(FWindow, nullptr, 0, 0, sized.right - sized.left, sized.bottom - sized.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFrmMain::PlaceControls() {
    for (const TControlPlace& control : kControls) {
        const RECT& r = control.Place;
        const int top = control.Id == IDC_LBLTARGETCHIP ? FLabelTop : r.top;
        SetWindowPos(Item(control.Id), nullptr, Scale(r.left), Scale(top), Scale(r.right),
                     Scale(r.bottom), SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

bool TFrmMain::PreTranslate(MSG& message) {
    if (FWindow == nullptr) return false;
    // F5, wherever the focus is in the window: search for the programmer now.
    if (message.message == WM_KEYDOWN && message.wParam == VK_F5 && FRules &&
        (message.hwnd == FWindow || IsChild(FWindow, message.hwnd))) {
        FRules->SearchNow();
        return true;
    }
    return IsDialogMessageW(FWindow, &message);
}

LRESULT CALLBACK TFrmMain::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        static_cast<TFrmMain*>(create->lpCreateParams)->FWindow = window;
    }
    auto* self = reinterpret_cast<TFrmMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefDlgProcW(window, message, wParam, lParam);
    // No exception crosses the system's call back into this procedure.
    try {
        return self->Handle(message, wParam, lParam);
    } catch (...) {
        // The rules' error box: one at a time, none once the window closes.
        const std::string text = ExceptionMessage(std::current_exception());
        if (self->FRules) {
            self->FRules->ShowError(text);
        } else {
            self->ShowError(text);
        }
        return 0;
    }
}

LRESULT TFrmMain::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kWakeMessage:
            if (FRules) FRules->DrainPosted();
            return 0;
        case WM_TIMER:
            if (wParam == kTimer1 && FRules) FRules->Tick();
            return 0;
        case WM_COMMAND:
            Command(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_CTLCOLORSTATIC: {
            const HWND control = reinterpret_cast<HWND>(lParam);
            if (FStation) {
                if (HBRUSH brush = FStation->ColourStatic(reinterpret_cast<HDC>(wParam), control)) {
                    return reinterpret_cast<LRESULT>(brush);
                }
            }
            const int id = GetDlgCtrlID(control);
            if (id != IDC_LBLTARGETCHIP && id != IDC_PNLVERBOSE) break;
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, id == IDC_PNLVERBOSE                  ? kStatusColour
                             : FLabelColour == TLabelColour::Alert ? kAlertColour
                                                                   : GetSysColor(COLOR_WINDOWTEXT));
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        case WM_SETCURSOR:
            // Over the client area, every control (a disabled one's comes
            // as HTERROR) and the window while a box holds it.
            if (const auto hit = static_cast<short>(LOWORD(lParam));
                FWaitCursor && (hit == HTCLIENT || hit == HTERROR)) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return TRUE;
            }
            break;
        case WM_DPICHANGED: {
            ApplyDpi(HIWORD(wParam));
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(FWindow, nullptr, suggested->left, suggested->top,
                         suggested->right - suggested->left, suggested->bottom - suggested->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_QUERYENDSESSION:
            // Refused while a Send, a Read or a station runs (the reason is
            // registered meanwhile): the work stops and the passes under way
            // are finished first.
            return FRules && !FRules->SessionEndAsked(128 + 15) ? FALSE : TRUE;
        case WM_ENDSESSION:
            if (wParam != FALSE && FRules) SessionEnds();
            return 0;
        case WM_DROPFILES:
            FileDropped(reinterpret_cast<HDROP>(wParam));
            return 0;
        case WM_CLOSE:
            // Not DefDlgProc's: that would press Cancel, which is Escape here.
            if (!FRules || FRules->CloseAsked()) DestroyWindow(FWindow);
            return 0;
        case WM_DESTROY:
            KillTimer(FWindow, kTimer1);
            FTimerActive = false;
            // The worker ends after the event loop, when the rules go.
            if (FRules) FRules->WindowGone();
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefDlgProcW(FWindow, message, wParam, lParam);
}

void TFrmMain::SessionEnds() {
    // The system ends the program as soon as this returns, so the close it
    // stands for (as a console's logoff event, 143) is waited for here,
    // within the few seconds the system gives: long enough to finish the
    // board's pass if it is nearly done.
    FRules->RequestClose(128 + 15);
    const ULONGLONG end = GetTickCount64() + 4000;
    MSG message{};
    while (IsWindow(FWindow) && GetTickCount64() < end) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT) != WAIT_OBJECT_0) {
            continue;
        }
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) && message.message != WM_QUIT) {
            if (!PreTranslate(message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    if (IsWindow(FWindow)) return;
    // The program ends here, with the request's status, before the system
    // ends it: the window has gone, and the worker ends first (the board's
    // pass was finished before the window closed).
    if (!FRules->WorkAbandoned()) FRules->Shutdown();
    EndAtOnce(FRules->ExitStatus());
}

void TFrmMain::FileDropped(HDROP drop) {
    std::optional<std::string> file;
    // One file only: several are no Send.
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1) {
        const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
        std::wstring name(static_cast<std::size_t>(length) + 1, L'\0');
        name.resize(DragQueryFileW(drop, 0, name.data(), length + 1));
        if (!name.empty()) file = Narrow(name);
    }
    DragFinish(drop);
    if (file && FRules) FRules->FileDropped(*file);
}

void TFrmMain::EnableControl(int id, bool enabled) {
    const HWND control = Item(id);
    if (!enabled && GetFocus() == control) SendMessageW(FWindow, WM_NEXTDLGCTL, 0, FALSE);
    EnableWindow(control, enabled);
}

void TFrmMain::Command(int id, int code) {
    if (!FRules) return;
    switch (id) {
        case IDCANCEL:
            // Escape (the dialog keyboard's Cancel).
            FRules->EscapePressed();
            break;
        case IDC_BTNSEND:
            if (code == BN_CLICKED && IsWindowEnabled(Item(id))) FRules->SendClicked();
            break;
        case IDC_BTNREAD:
            if (code == BN_CLICKED && IsWindowEnabled(Item(id))) FRules->ReadClicked();
            break;
        case IDC_RDOMEMSIZE_2KB:
        case IDC_RDOMEMSIZE_4KB:
            if (code == BN_CLICKED) FRules->MemSizeClicked();
            break;
        case IDC_BTNSTATION:
            if (code == BN_CLICKED && IsWindowVisible(Item(id))) FStation->Rules().StationClicked();
            break;
        default:
            if (code == BN_CLICKED && FStation) FStation->Command(id);
            break;
    }
}

void TFrmMain::SetChipLabel(const std::string& text, TLabelColour colour, int top) {
    FLabelColour = colour;
    FLabelTop = top;
    const HWND label = Item(IDC_LBLTARGETCHIP);
    SetWindowTextW(label, ScreenText(text).c_str());
    SetWindowPos(label, nullptr, Scale(2), Scale(top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The group box behind the label's old place is drawn again too.
    InvalidateRect(FWindow, nullptr, TRUE);
}

void TFrmMain::SetSendReadEnabled(bool enabled) {
    // Read first: the keyboard that leaves Send skips it.
    EnableControl(IDC_BTNREAD, enabled);
    EnableControl(IDC_BTNSEND, enabled);
}

bool TFrmMain::SendReadEnabled() const {
    return IsWindowEnabled(Item(IDC_BTNREAD)) != FALSE;
}

void TFrmMain::SetMemSizeVisible(bool visible) {
    for (int id : {IDC_RDOMEMSIZE, IDC_RDOMEMSIZE_2KB, IDC_RDOMEMSIZE_4KB}) {
        // As for a disabled control: the keyboard moves on first, or it
        // stays with a control nobody sees.
        if (!visible && GetFocus() == Item(id)) SendMessageW(FWindow, WM_NEXTDLGCTL, 0, FALSE);
        ShowWindow(Item(id), visible ? SW_SHOWNA : SW_HIDE);
    }
}

int TFrmMain::MemSizeIndex() const {
    return IsDlgButtonChecked(FWindow, IDC_RDOMEMSIZE_4KB) == BST_CHECKED ? 1 : 0;
}

void TFrmMain::SetFastVerifyEnabled(bool enabled) {
    EnableControl(IDC_CHKFASTVERIFY, enabled);
}

bool TFrmMain::FastVerifyEnabled() const {
    return IsWindowEnabled(Item(IDC_CHKFASTVERIFY)) != FALSE;
}

bool TFrmMain::FastVerifyChecked() const {
    return IsDlgButtonChecked(FWindow, IDC_CHKFASTVERIFY) == BST_CHECKED;
}

bool TFrmMain::LockChecked() const {
    return IsDlgButtonChecked(FWindow, IDC_CHKLOCK) == BST_CHECKED;
}

void TFrmMain::SetStatusText(const std::string& text) {
    SetWindowTextW(Item(IDC_PNLVERBOSE), ScreenText(text).c_str());
}

std::string TFrmMain::StatusText() const {
    const HWND status = Item(IDC_PNLVERBOSE);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(status)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(status, text.data(), static_cast<int>(text.size()))));
    return Narrow(text);
}

void TFrmMain::SetStatusNotice(const std::string& notice) {
    // The system's messages in its 8-bit code page.
    FNotice.assign(notice.size(), L'\0');
    const int n = notice.empty() ? 0
                                 : MultiByteToWideChar(
                                       CP_ACP, 0, notice.data(), static_cast<int>(notice.size()),
                                       FNotice.data(), static_cast<int>(FNotice.size()));
    FNotice.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = FWindow;
    tool.uId = reinterpret_cast<UINT_PTR>(Item(IDC_PNLVERBOSE));
    tool.lpszText = FNotice.data();
    SendMessageW(FToolTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(FToolTip, TTM_ACTIVATE, FNotice.empty() ? FALSE : TRUE, 0);
}

void TFrmMain::SetBarRange(int min, int max) {
    SendMessageW(Item(IDC_PBLOADING), PBM_SETRANGE32, static_cast<WPARAM>(min),
                 static_cast<LPARAM>(max));
}

void TFrmMain::SetBarPosition(int position) {
    SendMessageW(Item(IDC_PBLOADING), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void TFrmMain::SetPollTimerActive(bool active) {
    if (active) {
        SetTimer(FWindow, kTimer1, kTimer1Interval, nullptr);
    } else {
        KillTimer(FWindow, kTimer1);
    }
    FTimerActive = active;
}

bool TFrmMain::PollTimerActive() const {
    return FTimerActive;
}

void TFrmMain::SetWaitCursor(bool shown) {
    FWaitCursor = shown;
    UpdateCursor();
}

void TFrmMain::UpdateCursor() const {
    // The cursor changes at once where it stands over the window, not only
    // at the next move of the mouse.
    POINT point{};
    if (!GetCursorPos(&point)) return;
    const HWND under = WindowFromPoint(point);
    if (under != FWindow && !IsChild(FWindow, under)) return;
    SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
}

std::optional<TFileChoice> TFrmMain::ChooseFile(const TFileRequest& request) {
    return ChooseFileFor(FWindow, request);
}

std::optional<TFileChoice> ChooseFileFor(HWND owner, const TFileRequest& request) {
    // The list of types: each entry's label and patterns, each ending in a
    // null, and the list in one more.
    std::wstring filter;
    for (const TFileFilter& entry : request.Filters) {
        filter += Widen(entry.Label()) + L'\0' + Widen(entry.Patterns()) + L'\0';
    }
    const int count = static_cast<int>(request.Filters.size());
    const int index =
        request.FilterIndex >= 0 && request.FilterIndex < count ? request.FilterIndex : 0;
    const std::wstring folder = Widen(request.Folder);
    const std::wstring extension = count > 0 ? Widen(request.Filters[index].DefaultExtension) : L"";
    std::vector<wchar_t> name(32768, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = static_cast<DWORD>(index + 1);
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    dialog.Flags =
        OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    BOOL chosen = FALSE;
    if (request.Kind == TFileDialog::Open) {
        dialog.Flags |= OFN_FILEMUSTEXIST;
        chosen = GetOpenFileNameW(&dialog);
    } else {
        dialog.Flags |= OFN_OVERWRITEPROMPT;
        chosen = GetSaveFileNameW(&dialog);
    }
    if (!chosen) {
        const DWORD error = CommDlgExtendedError();
        if (error != 0) {
            throw std::runtime_error("The file dialog failed (error " + std::to_string(error) +
                                     ")");
        }
        return std::nullopt;
    }
    return TFileChoice{Narrow(std::wstring(name.data())),
                       static_cast<int>(dialog.nFilterIndex) - 1};
}

namespace {

// The box that MessageBoxW makes, noted as the system creates it: the first
// dialog created on this thread while the hook is set. Another box of the
// window (an error box) may be open at the same time.
thread_local HHOOK gBoxHook = nullptr;
thread_local HWND* gBoxNoted = nullptr;

LRESULT CALLBACK NoteBox(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && gBoxNoted != nullptr && *gBoxNoted == nullptr) {
        const HWND created = reinterpret_cast<HWND>(wParam);
        wchar_t className[16] = {};
        GetClassNameW(created, className, 16);
        if (std::wcscmp(className, L"#32770") == 0) *gBoxNoted = created;
    }
    return CallNextHookEx(gBoxHook, code, wParam, lParam);
}

}  // namespace

void TFrmMain::ShowMessageBox(const std::string& text) {
    FLinkBox = nullptr;
    gBoxNoted = &FLinkBox;
    gBoxHook = SetWindowsHookExW(WH_CBT, NoteBox, nullptr, GetCurrentThreadId());
    MessageBoxW(FWindow, ScreenText(text).c_str(), L"Corvane", MB_OK);
    if (gBoxHook != nullptr) UnhookWindowsHookEx(gBoxHook);
    gBoxHook = nullptr;
    gBoxNoted = nullptr;
    FLinkBox = nullptr;
}

void TFrmMain::CloseMessageBox() {
    // The link's box, and no other of the window's; its OK.
    if (FLinkBox != nullptr && IsWindow(FLinkBox)) SendMessageW(FLinkBox, WM_COMMAND, IDOK, 0);
}

void TFrmMain::SetSessionEndBlock(const std::string& reason) {
    // The system shows the reason when a logoff or shutdown waits for the window.
    if (reason.empty()) {
        ShutdownBlockReasonDestroy(FWindow);
    } else {
        ShutdownBlockReasonCreate(FWindow, ScreenText(reason).c_str());
    }
}

void TFrmMain::ShowError(const std::string& message) {
    MessageBoxW(FWindow != nullptr && IsWindow(FWindow) ? FWindow : nullptr,
                ScreenText(message).c_str(), L"Corvane", MB_OK | MB_ICONERROR);
}

void TFrmMain::CloseWindow() {
    PostMessageW(FWindow, WM_CLOSE, 0, 0);
}

void TFrmMain::WakeGui() {
    PostMessageW(FWindow, kWakeMessage, 0, 0);
}

}  // namespace corvane::win
