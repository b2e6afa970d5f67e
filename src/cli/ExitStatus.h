#pragma once

#include "BoardRun.h"
#include "Outcome.h"

namespace corvane::cli {

// The exit status for a workflow's outcome (BoardRun.h): a stop that a
// signal asked for ends with `stopStatus` (see StoppedStatus; 0 when no
// signal was taken).
using station::ExitStatusFor;

// The stop status for ExitStatusFor now: that of the first signal taken, or 0.
int CurrentStopStatus();

}  // namespace corvane::cli
