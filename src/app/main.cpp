#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Application.h"
#include "LineTrace.h"
#include "UMain.h"

int main(int argc, char** argv) {
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
    FrmMain.show();
    return corvane::TApplication::exec();
}
