#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "BoardRun.h"
#include "BoardsDisplay.h"
#include "ChipKind.h"
#include "CliOptions.h"
#include "LineTrace.h"
#include "UHexFile.h"

// A command run on every programmer that answers (--all): each board on a
// thread of its own with a link and a port of its own.
namespace corvane {
class TProgrammerLink;
}

namespace corvane::cli {

struct TMultiBoardRun {
    const TCliOptions* Options = nullptr;
    // program and verify: the file, read once before any port was opened.
    const THexFile* Image = nullptr;
    // A raw binary file's length, each byte of which counts (0 for HEX text).
    std::size_t FileLength = 0;
    // --trace: the search is recorded here, each board into a file of its own
    // (BoardTracePath) on the same clock.
    std::shared_ptr<TLineTrace> Trace;
    std::FILE* Out = nullptr;
    std::FILE* Err = nullptr;
    bool Terminal = false;  // Out is a terminal
};

// Looks for the programmers (up to three poll cycles until one answers, or
// with --count once a second until that many answer, the boards held so far
// greeted again each time), runs the command on
// each and prints the summary. Returns the exit status: 0 when every board
// ended "Complete!", otherwise the highest of the boards' statuses.
int RunOnEveryBoard(const TMultiBoardRun& run);

using station::BoardChecksum;
using station::Hex;
using station::SetBoardOptions;
using station::ShowMonitorFailures;

// `trace` + "." + the port's name with each '/' made '_'.
std::string BoardTracePath(const std::string& trace, const std::string& port);

}  // namespace corvane::cli
