// corvane.exe: the window on Windows.

#include <windows.h>

// After windows.h, whose types they use.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "FrmMain.h"
#include "LineTrace.h"
#include "ProgramEnd.h"
#include "StationOptions.h"
#include "StopRequests.h"
#include "Win32.h"
#include "WindowRules.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    // The system's requests that the program end are taken before any thread starts.
    corvane::platform::TStopRequests stopRequests;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                                       ICC_BAR_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    // CORVANE_TRACE=FILE: every byte on the programmer's line goes into FILE.
    if (const wchar_t* trace = _wgetenv(L"CORVANE_TRACE"); trace != nullptr && *trace != L'\0') {
        try {
            corvane::SetDefaultLineTrace(corvane::TLineTrace::Open(corvane::Narrow(trace)));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "corvane: CORVANE_TRACE: %s\n", e.what());
        }
    }
    // corvane.exe --station FILE [options]: the window opens into a running
    // station, with corvane-cli station's options and words.
    std::optional<corvane::station::TStationCommandLine> station;
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc); argv != nullptr) {
        if (argc >= 2 && std::wstring_view(argv[1]) == L"--station") {
            std::vector<std::string> words;
            for (int i = 2; i < argc; ++i) words.push_back(corvane::Narrow(argv[i]));
            station = corvane::station::ParseStationCommandLine(words);
        }
        LocalFree(argv);
    }
    if (station && !station->Error.empty()) {
        MessageBoxW(nullptr, corvane::Widen("corvane --station: " + station->Error).c_str(),
                    L"Corvane", MB_OK | MB_ICONERROR);
        return 2;
    }
    corvane::win::TFrmMain FrmMain;
    try {
        FrmMain.Create(showCommand);
    } catch (const std::exception& e) {
        MessageBoxW(nullptr, corvane::Widen(e.what()).c_str(), L"Corvane", MB_OK | MB_ICONERROR);
        return 1;
    }
    // Each request closes the window as its close button does: the first
    // lets a Send or Read finish the board's pass, the next ends at once.
    FrmMain.Rules().TakeStopRequests(stopRequests);
    if (station) {
        // Refused (a file it cannot read, a log it cannot write): said in a
        // box, and the one-chip window stays.
        if (const std::string refusal = FrmMain.StartStation(station->Args); !refusal.empty()) {
            FrmMain.Rules().ShowError(refusal);
        }
    }
    MSG message{};
    BOOL got = 0;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (FrmMain.PreTranslate(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    const int status = got < 0 ? 1 : static_cast<int>(message.wParam);
    return corvane::FinishProgram(FrmMain.Rules(), status, stopRequests);
}
