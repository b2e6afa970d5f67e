#include "StationWin.h"

// After windows.h (StationWin.h), whose types they use.
#include <commctrl.h>

#include <cstdio>
#include <exception>
#include <utility>

#include "FrmMain.h"
#include "PortScreen.h"
#include "Resources.h"
#include "Win32.h"

namespace corvane::win {

namespace {

constexpr wchar_t kTileClass[] = L"CorvaneStationTile";
constexpr COLORREF kPassColour = RGB(0, 140, 0);
constexpr COLORREF kFailColour = RGB(220, 0, 0);
// The view at 96 dots per inch: two tiles a row under three lines.
constexpr int kViewWidth = 418;
constexpr int kGap = 6;
constexpr int kTilesTop = 64;
constexpr int kTileWidth = 200;
constexpr int kTileHeight = 140;
constexpr int kStopWidth = 90;
constexpr int kStopHeight = 25;

struct TPlace {
    int Id;
    const wchar_t* Class;
    const wchar_t* Text;
    DWORD Style;
    RECT Place;  // left, top, width, height
};

constexpr DWORD kLine = SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS;
const TPlace kViewControls[] = {
    {IDC_STATION_NOTICE, WC_STATICW, L"", kLine, {kGap, 6, kViewWidth - 2 * kGap, 16}},
    {IDC_STATION_COUNTS, WC_STATICW, L"", kLine, {kGap, 24, kViewWidth - 2 * kGap, 16}},
    {IDC_STATION_DETAILS,
     WC_STATICW,
     L"",
     SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS,
     {kGap, 42, kViewWidth - 2 * kGap, 16}},
    // Its top goes under the tiles.
    {IDC_STATION_STOP,
     WC_BUTTONW,
     L"Stop",
     BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP,
     {kViewWidth - kGap - kStopWidth, 0, kStopWidth, kStopHeight}},
};
// Go is no tab stop: the tile is, and its space bar is Go.
const TPlace kTileControls[] = {
    {IDC_TILE_HEAD, WC_STATICW, L"", kLine, {8, 6, 184, 16}},
    {IDC_TILE_WORDS, WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, {8, 24, 184, 28}},
    {IDC_TILE_BAR, PROGRESS_CLASSW, L"", 0, {8, 54, 184, 14}},
    {IDC_TILE_RESULT, WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, {8, 70, 128, 36}},
    {IDC_TILE_GO, WC_BUTTONW, L"Go", BS_PUSHBUTTON, {140, 76, 52, 24}},
    {IDC_TILE_FAILURE, WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, {8, 106, 184, 30}},
};

std::wstring TextOf(HWND control) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Only a text that changed is set: the control is not drawn again for nothing.
void SetText(HWND control, const std::string& text) {
    const std::wstring wide = Widen(text);
    if (TextOf(control) != wide) SetWindowTextW(control, wide.c_str());
}

std::string Lines(const std::string& first, const std::string& second) {
    if (first.empty() || second.empty()) return first + second;
    return first + "\n" + second;
}

// The keyboard leaves a control before it is disabled or hidden (one that
// keeps it takes the window's keyboard with it).
void EnableKeeping(HWND window, HWND control, bool enabled, HWND next) {
    if (!enabled && GetFocus() == control) {
        SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), next != nullptr);
    }
    EnableWindow(control, enabled);
}

HWND MakeControl(const TPlace& control, HWND parent, bool visible) {
    return CreateWindowExW(0, control.Class, control.Text,
                           WS_CHILD | (visible ? WS_VISIBLE : 0) | control.Style, 0, 0, 0, 0,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.Id)),
                           GetModuleHandleW(nullptr), nullptr);
}

void PlaceControl(const TPlace& control, HWND parent, int top, int dpi, HFONT font) {
    const auto scale = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    const RECT& r = control.Place;
    const HWND item = GetDlgItem(parent, control.Id);
    SetWindowPos(item, nullptr, scale(r.left), scale(top >= 0 ? top : r.top), scale(r.right),
                 scale(r.bottom), SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(item, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

std::string DialogText(HWND dialog, int id) {
    return Narrow(TextOf(GetDlgItem(dialog, id)));
}

void EnableSerialFields(HWND dialog) {
    const bool on = IsDlgButtonChecked(dialog, IDC_ST_SERIAL) == BST_CHECKED;
    for (int id : {IDC_ST_ADDRESS, IDC_ST_START, IDC_ST_FORMAT, IDC_ST_OVERWRITE}) {
        EnableWindow(GetDlgItem(dialog, id), on);
    }
}

struct TDialogContext {
    TStationRules& Rules;
    TStationSettings& Settings;
    const std::string& Error;
};

void FillDialog(HWND dialog, const TStationSettings& s, const std::string& error) {
    SetDlgItemTextW(dialog, IDC_ST_FILE, Widen(s.File).c_str());
    SetDlgItemTextW(dialog, IDC_ST_LOG, Widen(s.Log).c_str());
    for (const char* format : kSerialFormats) {
        SendDlgItemMessageW(dialog, IDC_ST_FORMAT, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(Widen(format).c_str()));
    }
    SetDlgItemTextW(dialog, IDC_ST_FORMAT, Widen(s.SerialFormat).c_str());
    SetDlgItemTextW(dialog, IDC_ST_ADDRESS, Widen(s.SerialAddress).c_str());
    SetDlgItemTextW(dialog, IDC_ST_START, Widen(s.SerialStart).c_str());
    for (const wchar_t* size : {L"2KB", L"4KB"}) {
        SendDlgItemMessageW(dialog, IDC_ST_MEMSIZE, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(size));
    }
    SendDlgItemMessageW(dialog, IDC_ST_MEMSIZE, CB_SETCURSEL, static_cast<WPARAM>(s.MemSizeIndex),
                        0);
    SetDlgItemInt(dialog, IDC_ST_CHIPS, static_cast<UINT>(s.Chips), FALSE);
    const std::pair<int, bool> checks[] = {{IDC_ST_SERIAL, s.Serial},
                                           {IDC_ST_OVERWRITE, s.SerialOverwrite},
                                           {IDC_ST_FASTVERIFY, s.FastVerify},
                                           {IDC_ST_LOCK, s.Lock},
                                           {IDC_ST_SOUND, s.Sound}};
    for (const auto& [id, on] : checks)
        CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextW(dialog, IDC_ST_ERROR, Widen(error).c_str());
    EnableSerialFields(dialog);
}

void ReadDialog(HWND dialog, TStationSettings& s) {
    const auto checked = [dialog](int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; };
    s.File = DialogText(dialog, IDC_ST_FILE);
    s.Log = DialogText(dialog, IDC_ST_LOG);
    s.Serial = checked(IDC_ST_SERIAL);
    s.SerialAddress = DialogText(dialog, IDC_ST_ADDRESS);
    s.SerialStart = DialogText(dialog, IDC_ST_START);
    s.SerialFormat = DialogText(dialog, IDC_ST_FORMAT);
    s.SerialOverwrite = checked(IDC_ST_OVERWRITE);
    s.FastVerify = checked(IDC_ST_FASTVERIFY);
    s.Lock = checked(IDC_ST_LOCK);
    s.MemSizeIndex = SendDlgItemMessageW(dialog, IDC_ST_MEMSIZE, CB_GETCURSEL, 0, 0) == 1 ? 1 : 0;
    s.Chips = static_cast<int>(GetDlgItemInt(dialog, IDC_ST_CHIPS, nullptr, FALSE));
    s.Sound = checked(IDC_ST_SOUND);
}

void DialogCommand(HWND dialog, TDialogContext& context, int id) {
    switch (id) {
        case IDC_ST_SERIAL:
            EnableSerialFields(dialog);
            break;
        case IDC_ST_FILE_BROWSE:
            if (auto choice = ChooseFileFor(dialog, context.Rules.FileRequest())) {
                context.Rules.FileChosen(*choice);
                SetDlgItemTextW(dialog, IDC_ST_FILE, Widen(choice->Name).c_str());
            }
            break;
        case IDC_ST_LOG_BROWSE: {
            std::string log = DialogText(dialog, IDC_ST_LOG);
            if (log.empty()) log = DefaultStationLog(DialogText(dialog, IDC_ST_FILE));
            if (auto choice = ChooseFileFor(dialog, LogFileRequest(log))) {
                SetDlgItemTextW(dialog, IDC_ST_LOG, Widen(choice->Name).c_str());
            }
            break;
        }
        case IDOK:
            ReadDialog(dialog, context.Settings);
            EndDialog(dialog, IDOK);
            break;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            break;
        default:
            break;
    }
}

}  // namespace

TStationWin::TStationWin(HWND window, TWindowRules& rules, std::function<void(int, int)> resize)
    : FWindow(window), FResize(std::move(resize)) {
    static const bool registered = [] {
        WNDCLASSEXW tileClass{};
        tileClass.cbSize = sizeof tileClass;
        tileClass.style = CS_HREDRAW | CS_VREDRAW;
        tileClass.lpfnWndProc = TileProc;
        tileClass.hInstance = GetModuleHandleW(nullptr);
        tileClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        tileClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        tileClass.lpszClassName = kTileClass;
        return RegisterClassExW(&tileClass) != 0;
    }();
    if (!registered) throw std::runtime_error(SystemErrorText(GetLastError()));
    // Hidden until a station shows; the tiles come with its boards.
    for (const TPlace& control : kViewControls) MakeControl(control, FWindow, false);
    FRules = std::make_unique<TStationRules>(rules, *this, PortSettingsFile());
}

TStationWin::~TStationWin() {
    // The rules go first: they stop a station still running.
    FRules.reset();
    if (FBigFont != nullptr) DeleteObject(FBigFont);
}

void TStationWin::ApplyDpi(UINT dpi, HFONT font) {
    FDpi = dpi;
    FFont = font;
    if (FBigFont != nullptr) DeleteObject(FBigFont);
    FBigFont = MakeFont(20, true, dpi);
    if (FShown) Place();
}

void TStationWin::Place() {
    const int rows = FTiles.empty() ? 1 : static_cast<int>((FTiles.size() + 1) / 2);
    const int stopTop = kTilesTop + rows * (kTileHeight + kGap);
    for (const TPlace& control : kViewControls) {
        PlaceControl(control, FWindow, control.Id == IDC_STATION_STOP ? stopTop : -1,
                     static_cast<int>(FDpi), FFont);
    }
    for (std::size_t i = 0; i < FTiles.size(); ++i) {
        const int left = kGap + static_cast<int>(i % 2) * (kTileWidth + kGap);
        const int top = kTilesTop + static_cast<int>(i / 2) * (kTileHeight + kGap);
        SetWindowPos(FTiles[i].Window, nullptr, Scale(left), Scale(top), Scale(kTileWidth),
                     Scale(kTileHeight), SWP_NOZORDER | SWP_NOACTIVATE);
        for (const TPlace& control : kTileControls) {
            PlaceControl(control, FTiles[i].Window, -1, static_cast<int>(FDpi),
                         control.Id == IDC_TILE_RESULT ? FBigFont : FFont);
        }
    }
    FResize(kViewWidth, stopTop + kStopHeight + kGap);
    InvalidateRect(FWindow, nullptr, TRUE);
}

void TStationWin::MakeTile() {
    const HWND tile = CreateWindowExW(
        0, kTileClass, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPCHILDREN, 0, 0, 0, 0,
        FWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TILE + FTiles.size())),
        GetModuleHandleW(nullptr), this);
    if (tile == nullptr) throw std::runtime_error(SystemErrorText(GetLastError()));
    for (const TPlace& control : kTileControls) MakeControl(control, tile, true);
    FTiles.push_back({tile, TTileResult::None});
}

bool TStationWin::EditStationSettings(TStationSettings& settings, const std::string& error) {
    TDialogContext context{*FRules, settings, error};
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_STATION),
                                           FWindow, DialogProc, reinterpret_cast<LPARAM>(&context));
    if (result == -1) throw std::runtime_error(SystemErrorText(GetLastError()));
    return result == IDOK;
}

INT_PTR CALLBACK TStationWin::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* context = reinterpret_cast<TDialogContext*>(lParam);
        FillDialog(dialog, context->Settings, context->Error);
        return TRUE;
    }
    auto* context = reinterpret_cast<TDialogContext*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (context == nullptr) return FALSE;
    switch (message) {
        case WM_COMMAND:
            try {
                DialogCommand(dialog, *context, LOWORD(wParam));
            } catch (const std::exception& e) {
                SetDlgItemTextW(dialog, IDC_ST_ERROR, Widen(e.what()).c_str());
            }
            return TRUE;
        case WM_CTLCOLORSTATIC:
            // Why the last start was refused, in red.
            if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) != IDC_ST_ERROR) return FALSE;
            SetTextColor(reinterpret_cast<HDC>(wParam), kFailColour);
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        default:
            return FALSE;
    }
}

void TStationWin::ShowStationView(bool shown) {
    if (shown == FShown) return;
    FShown = shown;
    if (shown) {
        // The one-chip window's controls go (the keyboard first, to Stop),
        // and come back as they were.
        FHidden.clear();
        for (const TPlace& control : kViewControls) {
            ShowWindow(GetDlgItem(FWindow, control.Id), SW_SHOWNA);
        }
        const HWND stop = GetDlgItem(FWindow, IDC_STATION_STOP);
        SendMessageW(FWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(stop), TRUE);
        for (HWND child = GetWindow(FWindow, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            const int id = GetDlgCtrlID(child);
            if (id >= IDC_STATION_NOTICE && id <= IDC_STATION_STOP) continue;
            if (IsWindowVisible(child)) FHidden.push_back(child);
        }
        for (HWND child : FHidden) ShowWindow(child, SW_HIDE);
        Place();
        return;
    }
    // Back: the tiles go (Back is no tile's control, so none of them is in
    // a call of its own now).
    for (const TTile& tile : FTiles) DestroyWindow(tile.Window);
    FTiles.clear();
    for (HWND child : FHidden) ShowWindow(child, SW_SHOWNA);
    FHidden.clear();
    const HWND first = GetNextDlgTabItem(FWindow, nullptr, FALSE);
    SendMessageW(FWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    for (const TPlace& control : kViewControls) {
        ShowWindow(GetDlgItem(FWindow, control.Id), SW_HIDE);
    }
    FResize(0, 0);
    InvalidateRect(FWindow, nullptr, TRUE);
}

void TStationWin::DrawStation(const TStationPicture& picture) {
    const std::size_t before = FTiles.size();
    while (FTiles.size() < picture.Tiles.size()) MakeTile();
    while (FTiles.size() > picture.Tiles.size()) {
        DestroyWindow(FTiles.back().Window);
        FTiles.pop_back();
    }
    if (FTiles.size() != before) Place();
    const HWND stop = GetDlgItem(FWindow, IDC_STATION_STOP);
    for (std::size_t i = 0; i < FTiles.size(); ++i) {
        const TStationTile& tile = picture.Tiles[i];
        const HWND window = FTiles[i].Window;
        const auto item = [window](int id) { return GetDlgItem(window, id); };
        SetText(item(IDC_TILE_HEAD), tile.Port + "   " + tile.Chip);
        SetText(item(IDC_TILE_WORDS), Lines(tile.Words, tile.Message));
        const HWND bar = item(IDC_TILE_BAR);
        ShowWindow(bar, tile.BarShown ? SW_SHOWNA : SW_HIDE);
        SendMessageW(bar, PBM_SETRANGE32, 0, tile.Total > 0 ? tile.Total : 1);
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(tile.Done), 0);
        if (FTiles[i].Result != tile.Result) {
            FTiles[i].Result = tile.Result;
            InvalidateRect(item(IDC_TILE_RESULT), nullptr, TRUE);
        }
        SetText(item(IDC_TILE_RESULT), tile.ResultText);
        SetText(item(IDC_TILE_FAILURE), Lines(tile.Failure, tile.Serial));
        const HWND go = item(IDC_TILE_GO);
        EnableKeeping(FWindow, go, tile.GoEnabled, window);
        ShowWindow(go, tile.GoShown ? SW_SHOWNA : SW_HIDE);
    }
    const HWND notice = GetDlgItem(FWindow, IDC_STATION_NOTICE);
    if (FNoticeIsError != picture.NoticeIsError) {
        FNoticeIsError = picture.NoticeIsError;
        InvalidateRect(notice, nullptr, TRUE);
    }
    SetText(notice, picture.Notice);
    SetText(GetDlgItem(FWindow, IDC_STATION_COUNTS), picture.Counts);
    SetText(GetDlgItem(FWindow, IDC_STATION_DETAILS), picture.Details);
    SetText(stop, picture.StopText);
    EnableKeeping(FWindow, stop, picture.StopEnabled, FTiles.empty() ? nullptr : FTiles[0].Window);
}

void TStationWin::SetWindowTitle(const std::string& title) {
    SetWindowTextW(FWindow, title.empty() ? CORVANE_CAPTION : Widen(title).c_str());
}

void TStationWin::SoundFailure() {
    MessageBeep(MB_ICONHAND);
}

HBRUSH TStationWin::ColourStatic(HDC dc, HWND control) const {
    if (GetDlgCtrlID(control) != IDC_STATION_NOTICE) return nullptr;
    SetTextColor(dc, FNoticeIsError ? kFailColour : GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return GetSysColorBrush(COLOR_BTNFACE);
}

bool TStationWin::Command(int id) {
    if (id != IDC_STATION_STOP || !IsWindowVisible(GetDlgItem(FWindow, id))) return false;
    FRules->StopClicked();
    return true;
}

LRESULT CALLBACK TStationWin::TileProc(HWND tile, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(tile, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TStationWin*>(GetWindowLongPtrW(tile, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(tile, message, wParam, lParam);
    // No exception crosses the system's call; a station shows no box.
    try {
        const auto index = static_cast<std::size_t>(GetDlgCtrlID(tile) - IDC_TILE);
        return self->TileMessage(index, tile, message, wParam, lParam);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane: %s\n", e.what());
        return 0;
    }
}

LRESULT TStationWin::TileMessage(std::size_t index, HWND tile, UINT message, WPARAM wParam,
                                 LPARAM lParam) {
    switch (message) {
        case WM_GETDLGCODE:
            // The space bar comes here (no mnemonic search, no beep).
            return DLGC_WANTCHARS;
        case WM_KEYDOWN:
            if (wParam == VK_SPACE) FRules->GoClicked(index);
            return 0;
        case WM_CHAR:
            return 0;
        case WM_LBUTTONDOWN:
            SendMessageW(FWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(tile), TRUE);
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            InvalidateRect(tile, nullptr, TRUE);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            const HDC dc = BeginPaint(tile, &paint);
            RECT r{};
            GetClientRect(tile, &r);
            DrawEdge(dc, &r, EDGE_ETCHED, BF_RECT);
            if (GetFocus() == tile) {
                InflateRect(&r, -3, -3);
                DrawFocusRect(dc, &r);
            }
            EndPaint(tile, &paint);
            return 0;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_TILE_GO && HIWORD(wParam) == BN_CLICKED) {
                FRules->GoClicked(index);
            }
            return 0;
        case WM_CTLCOLORSTATIC: {
            // PASS in green, FAIL in red.
            const HDC dc = reinterpret_cast<HDC>(wParam);
            const TTileResult result =
                index < FTiles.size() ? FTiles[index].Result : TTileResult::None;
            const bool isResult = GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_TILE_RESULT;
            SetTextColor(dc, isResult && result == TTileResult::Pass ? kPassColour
                             : isResult && result == TTileResult::Fail
                                 ? kFailColour
                                 : GetSysColor(COLOR_WINDOWTEXT));
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        default:
            return DefWindowProcW(tile, message, wParam, lParam);
    }
}

}  // namespace corvane::win
