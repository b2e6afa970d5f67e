#pragma once

#include "MultiBoard.h"

// corvane-cli station: the production station (the station library) on the
// terminal: a line per board, the totals, the bell; Enter from standard input.
namespace corvane::cli {

// Runs the station (the run's trace is not used); returns 0 when every chip
// passed, 1 when any failed or the serial numbers ran out, 2 when the serial
// number lies outside the memory image or would overwrite the file's bytes,
// 3 when the log or the serial numbers' state cannot be written.
int RunStation(const TMultiBoardRun& run);

}  // namespace corvane::cli
