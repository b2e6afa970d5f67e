#pragma once

#include <cstdio>

#include "CliOptions.h"
#include "UHexFile.h"

// corvane-cli station: a production station. Every programmer that answers
// is worked on by a thread of its own, in a loop: wait until a chip is
// seated, program it (with its serial number), log it, wait until it is
// taken out, again; until Ctrl+C or --chips good chips.
namespace corvane::cli {

struct TStationRun {
    const TCliOptions* Options = nullptr;
    // The file, read once before any port was opened.
    const THexFile* Image = nullptr;
    std::FILE* Out = nullptr;
    std::FILE* Err = nullptr;
    bool Terminal = false;  // Out is a terminal
};

// Runs the station; returns 0 when every chip passed, 1 when any failed, 2
// when the serial number would overwrite the file's bytes, 3 when the log or
// the serial numbers' state cannot be written (before any chip).
int RunStation(const TStationRun& run);

}  // namespace corvane::cli
