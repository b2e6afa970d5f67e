#pragma once

#include <windows.h>

// After windows.h, whose types it uses.
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>

#include "GuiQueue.h"
#include "WindowControls.h"

namespace corvane {

class TWindowRules;

namespace win {

class TStationWin;

// The dialog font (MS Shell Dlg 2) at `points` for `dpi`.
HFONT MakeFont(int points, bool bold, UINT dpi);
// The system's open-file or save-file dialog, owned by `owner`, for `request`.
std::optional<TFileChoice> ChooseFileFor(HWND owner, const TFileRequest& request);

// The main window in Win32's own controls: the widgets, the dialogs and the
// glue that hands their events to the window's rules (TWindowRules), which
// decide what every control shows. A window of the dialog class (Tab,
// mnemonics, Enter for the default button, Escape as IDCANCEL), created from
// code at 96 dots per inch and scaled to the monitor's.
class TFrmMain : public IWindowControls, public IGuiWake {
public:
    TFrmMain();
    ~TFrmMain() override;
    TFrmMain(const TFrmMain&) = delete;
    TFrmMain& operator=(const TFrmMain&) = delete;

    // Creates the window and its controls, starts the rules (the worker and
    // Timer1) and shows it.
    void Create(int showCommand);
    HWND Handle() const { return FWindow; }
    TWindowRules& Rules() { return *FRules; }
    TStationWin& Station() { return *FStation; }
    // Whether `message` is one of the window's keyboard messages (Tab,
    // mnemonics, Enter, Escape), handled here.
    bool PreTranslate(MSG& message);

    // IWindowControls
    void SetChipLabel(const std::string& text, TLabelColour colour, int top) override;
    void SetSendReadEnabled(bool enabled) override;
    bool SendReadEnabled() const override;
    void SetMemSizeVisible(bool visible) override;
    int MemSizeIndex() const override;
    void SetFastVerifyEnabled(bool enabled) override;
    bool FastVerifyEnabled() const override;
    bool FastVerifyChecked() const override;
    bool LockChecked() const override;
    void SetStatusText(const std::string& text) override;
    std::string StatusText() const override;
    void SetStatusNotice(const std::string& notice) override;
    void SetBarRange(int min, int max) override;
    void SetBarPosition(int position) override;
    void SetPollTimerActive(bool active) override;
    bool PollTimerActive() const override;
    void SetWaitCursor(bool shown) override;
    std::optional<TFileChoice> ChooseFile(const TFileRequest& request) override;
    void ShowMessageBox(const std::string& text) override;
    void CloseMessageBox() override;
    void SetSessionEndBlock(const std::string& reason) override;
    void ShowError(const std::string& message) override;
    void CloseWindow() override;

    // IGuiWake: any thread.
    void WakeGui() override;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // Fonts, glyphs and every control's place for the window's DPI.
    void ApplyDpi(UINT dpi);
    void PlaceControls();
    // The client area at 96 dots per inch (0: the one-chip window's).
    void SizeClient(int width, int height);
    void Command(int id, int code);
    // A control enabled or disabled; the keyboard moves on first from a
    // control that has it and is to be disabled, as the dialog manager's Tab
    // would move it: a disabled control that keeps it takes the keyboard
    // with it (no Tab, Enter or Escape until the window is clicked).
    void EnableControl(int id, bool enabled);
    void FileDropped(HDROP drop);
    // A logoff or shutdown: waits for the close it stands for within the
    // system's few seconds.
    void SessionEnds();
    HWND Item(int id) const { return GetDlgItem(FWindow, id); }
    int Scale(int pixels) const { return MulDiv(pixels, static_cast<int>(FDpi), 96); }
    void UpdateCursor() const;

    HWND FWindow = nullptr;
    HWND FToolTip = nullptr;
    UINT FDpi = 96;
    HFONT FFont = nullptr;
    HFONT FLabelFont = nullptr;
    HICON FSendGlyph = nullptr;
    HICON FReadGlyph = nullptr;
    HICON FBigIcon = nullptr;
    HICON FSmallIcon = nullptr;
    HBRUSH FFaceBrush = nullptr;
    TLabelColour FLabelColour = TLabelColour::Normal;
    int FLabelTop = 15;
    bool FTimerActive = false;
    bool FWaitCursor = false;
    std::wstring FNotice;
    // The link's message box while it is open.
    HWND FLinkBox = nullptr;
    std::unique_ptr<TWindowRules> FRules;
    std::unique_ptr<TStationWin> FStation;
};

}  // namespace win
}  // namespace corvane
