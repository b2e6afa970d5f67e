#pragma once

#include <cstdio>

#include "MultiBoard.h"

// corvane-cli station: a production station. Every programmer that answers
// is worked on by a thread of its own, in a loop: wait until a chip is
// seated, program it (with its serial number), log it, wait until it is
// taken out, again; until Ctrl+C or --chips good chips.
namespace corvane::cli {

// Runs the station (the run's trace is not used); returns 0 when every chip passed, 1 when any
// failed, 2 when the serial number would overwrite the file's bytes, 3 when the log or the serial
// numbers' state cannot be written (before any chip).
int RunStation(const TMultiBoardRun& run);

}  // namespace corvane::cli
