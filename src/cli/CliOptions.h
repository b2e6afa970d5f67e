#pragma once

#include <string>
#include <vector>

#include "BoardRun.h"
#include "StationOptions.h"

namespace corvane::cli {

// The exit statuses of corvane-cli (BoardRun.h); a run stopped by a signal
// ends with StoppedStatus(signal) (StopSignals.h).
using station::TExitStatus;
using enum station::TExitStatus;
using station::EUsage;
using station::FileFormat;
using station::kDefaultLog;
using station::kStdStream;

enum class TCommand { None, Detect, Program, Read, Verify, Erase, BlankCheck, Ports, Station };

// The option that gives a 2051/4051 its 4 KB (a file too long for 2 KB says it).
inline constexpr const char* kSizeChoiceName = "--size 4K";

// The options that a station takes (read by the station's own reader, the
// same for the window's --station), some of which the other commands share,
// and corvane-cli's own.
struct TCliOptions : station::TStationArgs {
    TCommand command = TCommand::None;
    std::string trace;  // empty: no trace of the line
    // --all: every programmer that answers, each board on its own thread.
    bool all = false;
    int count = 0;       // --count: wait until this many answer (0: do not wait)
    double timeout = 0;  // --timeout: seconds that bound that wait (0: none)
    bool help = false;
    bool version = false;
};

// Reads the command line (argv[0] excluded). Raises EUsage with a one-line
// reason when it is wrong. --help and --version need no command.
TCliOptions ParseCommandLine(const std::vector<std::string>& args);

// The text of --help.
std::string UsageText();

}  // namespace corvane::cli
