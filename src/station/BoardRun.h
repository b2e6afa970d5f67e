#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "BoardView.h"
#include "ChipKind.h"
#include "Outcome.h"
#include "UHexFile.h"

// What a run on several boards at once needs for each board, shared by
// corvane-cli's --all and the production station: the board's options, the
// exit status of an outcome, and a workflow run so that no exception leaves
// it and each way out says what became of the board.
namespace corvane {
class TProgrammerLink;
}

namespace corvane::station {

// The exit statuses of corvane-cli, which the station's log also gives per chip.
enum TExitStatus : int {
    esComplete = 0,      // the workflow ended in "Complete!"; detect: a chip is known
    esFailedStep = 1,    // a step failed, the chip differs from the file or is not blank
    esUsage = 2,         // the command line is wrong
    esBadFile = 3,       // the file (or the trace, the log) cannot be read or written,
                         // is malformed or does not fit the chip
    esNoProgrammer = 4,  // no programmer answered, or it holds no chip that is known
    esPortError = 5      // the serial port failed while the programmer was in use
};

// The exit status for a workflow's outcome: 0 when it completed; a stop ends
// with `stopStatus` (1 when it is 0); a file without data is a bad file; any
// other end is a failed step.
int ExitStatusFor(const TOutcome& outcome, int stopStatus);

// The options of the Send and the checks as the user gave them.
struct TBoardOptions {
    bool FastVerify = false;
    bool Lock = false;
    int MemSizeIndex = 0;  // the "Code Memory" of a 2051/4051: 0 = 2 KB, 1 = 4 KB
};

// A board's view with `options`, for a chip of `kind` (a 2051/4051 has no
// checksum: fast verify is off there).
void SetBoardOptions(TBoardView& view, const TBoardOptions& options, TChipKind kind);

// A failure of the link's port monitor thread reaches the board's thread when
// the port closes: it is reported on the board's line, unless `shown` (which
// must outlive the link) says the port's failure is known already.
void ShowMonitorFailures(TProgrammerLink& link, IBoardReport& report, std::size_t line,
                         bool& shown);

// How a workflow on one board ended.
struct TBoardResult {
    int Status = esComplete;
    std::string Text;         // "Complete!", the failure, or why the board could not be worked on
    bool PortFailed = false;  // the port raised its failure (the board is gone)
    bool Gone = false;        // the board cannot be worked on further
    TOutcomeKind Kind = TOutcomeKind::Failed;  // the outcome's, when the workflow ended in one
    bool Ended = false;                        // it did (no exception)
};

// Runs `workflow` on the board: the outcome mapped with ExitStatusFor (a stop
// with what `stopStatus` gives at its end), a port
// that fails as esPortError (the board gone), a file or image that does not
// fit the chip as esBadFile, anything else as esPortError. The view's pass is
// finished either way.
TBoardResult RunOnBoard(TBoardView& view, const std::function<int()>& stopStatus,
                        const std::function<TOutcome()>& workflow);

// `value` in upper-case hexadecimal, `digits` digits at least.
std::string Hex(unsigned value, int digits);

// The checksum of `image` as the programmer's checksum command gives it for
// a chip programmed with it: the two's complement of the 16-bit sum of its
// bytes up to the last that is not FF.
std::uint16_t BoardChecksum(const THexFile& image);

}  // namespace corvane::station
