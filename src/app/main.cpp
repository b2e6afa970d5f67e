#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Application.h"
#include "LineTrace.h"
#include "StopRequests.h"
#include "UMain.h"

namespace {

// Ends the program without waiting for the programmer link's thread, which
// may still be on the line (nothing is destroyed under it).
[[noreturn]] void EndAtOnce(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

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
    stopRequests.SetHandler([&FrmMain](int status) {
        QMetaObject::invokeMethod(
            &FrmMain, [&FrmMain, status] { FrmMain.RequestClose(status); }, Qt::QueuedConnection);
    });
    FrmMain.show();
    int status = corvane::TApplication::exec();
    if (FrmMain.ExitStatus() != 0) status = FrmMain.ExitStatus();
    // The window has gone: a request from now on ends the program at once.
    stopRequests.SetHandler([](int requested) { EndAtOnce(requested); });
    if (FrmMain.WorkAbandoned()) EndAtOnce(status);
    return status;
}
