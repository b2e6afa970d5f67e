#include <cstdio>
#include <cstdlib>
#include <exception>

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
    corvane::TFrmMain FrmMain;
    // Each request closes the window as its close button does: the first
    // lets a Send or Read finish the board's pass, the next ends at once.
    corvane::TWindowRules& rules = FrmMain.Rules();
    rules.TakeStopRequests(stopRequests);
    FrmMain.show();
    return corvane::FinishProgram(rules, corvane::TApplication::exec(), stopRequests);
}
