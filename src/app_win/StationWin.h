#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StationView.h"

namespace corvane::win {

// The station in the Win32 window: the settings dialog (IDD_STATION) and the
// view that takes the main window's place while a station runs, drawn from
// the station rules' picture. A tile per board is a window of its own that
// takes the keyboard (the space bar is its Go); its texts are static
// controls, so that they read as the rest of the window does.
class TStationWin : public IStationControls {
public:
    // `resize`: the main window's client area in pixels at 96 dots per inch.
    TStationWin(HWND window, TWindowRules& rules, std::function<void(int, int)> resize);
    ~TStationWin() override;
    TStationWin(const TStationWin&) = delete;
    TStationWin& operator=(const TStationWin&) = delete;

    TStationRules& Rules() { return *FRules; }
    void ApplyDpi(UINT dpi, HFONT font);
    // WM_CTLCOLORSTATIC of the view's lines; nullptr: not one of them.
    HBRUSH ColourStatic(HDC dc, HWND control) const;
    // The view's own commands (Stop); false: not one of them.
    bool Command(int id);

    // IStationControls
    bool EditStationSettings(TStationSettings& settings, const std::string& error) override;
    void ShowStationView(bool shown) override;
    void DrawStation(const TStationPicture& picture) override;
    void SetWindowTitle(const std::string& title) override;
    void SoundFailure() override;

private:
    struct TTile {
        HWND Window = nullptr;
        TTileResult Result = TTileResult::None;
    };
    static LRESULT CALLBACK TileProc(HWND tile, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT TileMessage(std::size_t index, HWND tile, UINT message, WPARAM wParam, LPARAM lParam);
    void MakeTile();
    void Place();
    int Scale(int pixels) const { return MulDiv(pixels, static_cast<int>(FDpi), 96); }

    HWND FWindow;
    std::function<void(int, int)> FResize;
    UINT FDpi = 96;
    HFONT FFont = nullptr;
    HFONT FBigFont = nullptr;
    bool FShown = false;
    bool FNoticeIsError = false;
    // The main window's controls that the view hid.
    std::vector<HWND> FHidden;
    std::vector<TTile> FTiles;
    std::unique_ptr<TStationRules> FRules;
};

}  // namespace corvane::win
