#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "Application.h"
#include "LineTrace.h"
#include "ProgramEnd.h"
#include "StopRequests.h"
#include "UMain.h"

int main(int argc, char** argv) {
    // SIGTERM, SIGHUP and SIGINT are taken before any thread starts.
    corvane::platform::TStopRequests stopRequests;
    corvane::TApplication app(argc, argv);
    // CORVANE_TRACE=FILE: every byte on the programmer's line goes into FILE.
    if (const char* trace = std::getenv("CORVANE_TRACE"); trace != nullptr && *trace != '\0') {
        try {
            corvane::SetDefaultLineTrace(corvane::TLineTrace::Open(trace));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "corvane: CORVANE_TRACE: %s\n", e.what());
        }
    }
    // corvane --station FILE [options]: straight into a running station.
    const std::vector<std::string> args(argv + 1, argv + argc);
    corvane::TStationCommand station;
    if (!args.empty() && args[0] == "--station") {
        station = corvane::StationFromCommandLine({args.begin() + 1, args.end()});
        if (!station.Error.empty()) {
            std::fprintf(stderr, "corvane: %s\n", station.Error.c_str());
            return station.Status;
        }
    }
    corvane::TFrmMain FrmMain;
    // Each request closes the window as its close button does: the first
    // lets a Send or Read finish the board's pass, the next ends at once.
    corvane::TWindowRules& rules = FrmMain.Rules();
    rules.TakeStopRequests(stopRequests);
    FrmMain.show();
    if (station.Setup) {
        int status = 0;
        const std::string refusal =
            FrmMain.Station().Start(std::move(station.Setup), station.Sound, &status);
        if (!refusal.empty()) {
            std::fprintf(stderr, "corvane: %s\n", refusal.c_str());
            return status;
        }
    }
    int loopStatus = corvane::TApplication::exec();
    // A station from the command line ends with its own status, as corvane-cli station's.
    if (loopStatus == 0 && !args.empty() && args[0] == "--station") {
        loopStatus = FrmMain.Station().Status();
    }
    return corvane::FinishProgram(rules, loopStatus, stopRequests);
}
