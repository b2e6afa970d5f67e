// corvane.exe: the window on Windows.

#include <windows.h>

// After windows.h, whose types they use.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "FrmMain.h"
#include "LineTrace.h"
#include "ProgramEnd.h"
#include "StationSettings.h"
#include "StationView.h"
#include "StationWin.h"
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
    // station, with corvane-cli station's options and words; what it refuses
    // is said in a box (no console), with corvane-cli's status.
    std::vector<std::string> args;
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc); argv != nullptr) {
        for (int i = 1; i < argc; ++i) args.push_back(corvane::Narrow(argv[i]));
        LocalFree(argv);
    }
    const bool fromCommandLine = !args.empty() && args[0] == "--station";
    corvane::TStationCommand station;
    if (fromCommandLine) {
        station = corvane::StationFromCommandLine({args.begin() + 1, args.end()});
        if (!station.Error.empty()) {
            MessageBoxW(nullptr, corvane::Widen(station.Error).c_str(), L"Corvane",
                        MB_OK | MB_ICONERROR);
            return station.Status;
        }
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
    if (station.Setup) {
        int status = 0;
        const std::string refusal =
            FrmMain.Station().Rules().Start(std::move(station.Setup), station.Sound, &status);
        if (!refusal.empty()) {
            MessageBoxW(FrmMain.Handle(), corvane::Widen(refusal).c_str(), L"Corvane",
                        MB_OK | MB_ICONERROR);
            return status;
        }
    }
    MSG message{};
    BOOL got = 0;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (FrmMain.PreTranslate(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    int status = got < 0 ? 1 : static_cast<int>(message.wParam);
    // A station from the command line ends with its own status, as corvane-cli station's.
    if (status == 0 && fromCommandLine) status = FrmMain.Station().Rules().Status();
    return corvane::FinishProgram(FrmMain.Rules(), status, stopRequests);
}
