#pragma once

#include "StopRequests.h"

namespace corvane {

class TWindowRules;

// After the window's event loop has returned `loopStatus`: the program's exit
// status (that of a system's request when one closed the window, 128 + the
// signal's number). From now on a request ends the program at once; work the
// window abandoned (closed twice) ends it at once too, without waiting for the
// worker, which may still be on the line.
int FinishProgram(const TWindowRules& rules, int loopStatus, platform::TStopRequests& requests);

// Ends the process now with `status`, output flushed, no destructor run.
[[noreturn]] void EndAtOnce(int status);

}  // namespace corvane
