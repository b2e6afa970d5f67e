#pragma once

#include "Outcome.h"

namespace corvane::cli {

// The exit status for a workflow's outcome (CliOptions.h): 0 when it
// completed; a stop that a signal asked for ends with `stopStatus` (see
// StoppedStatus; 0 when no signal was taken); a file without data is a bad
// file; any other end is a failed step.
int ExitStatusFor(const TOutcome& outcome, int stopStatus);

// The stop status for ExitStatusFor now: that of the first signal taken, or 0.
int CurrentStopStatus();

}  // namespace corvane::cli
