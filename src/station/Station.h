#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "BoardRun.h"
#include "BoardView.h"
#include "SerialNumber.h"
#include "StationHost.h"
#include "StationLog.h"
#include "StationSnapshot.h"
#include "UHexFile.h"

// A production station: every programmer that answers is worked on by a
// thread of its own, in a loop: wait until a chip is seated, program it (with
// its serial number), log it, wait until the socket is empty, again; until
// the host stops it or --chips good chips. No terminal and no toolkit: a host
// (the command line's terminal, a window) shows what it reports and passes
// the user's Enter on.
namespace corvane::station {

struct TSerialPlan {
    std::uint32_t Address = 0;
    std::uint64_t Start = 0;
    TSerialFormat Format;
    bool Overwrite = false;  // the number may overwrite bytes that the file sets
};

struct TStationOptions {
    std::string File;                 // the file's name as given, for the log
    const THexFile* Image = nullptr;  // the file, read once before the start
    // A raw binary file's length, each byte of which counts (0 for HEX text).
    std::size_t FileLength = 0;
    std::string Log;  // its serial numbers' state goes beside it (+ ".serial")
    TBoardOptions Board;
    int Chips = 0;  // end after this many good chips (0: no end)
    std::optional<TSerialPlan> Serial;
    // The one port to greet (as the system names it), even when it is busy
    // or excluded; empty: every port the system lists, screened.
    std::string Port;
    // The status in the log of a chip stopped before its write pass, asked
    // as it is stopped (a host may give the reason of the stop its own
    // number); none: esFailedStep.
    std::function<int()> StoppedStatus;
};

class TStation {
public:
    TStation(TStationOptions options, IStationHost& host);
    ~TStation();
    TStation(const TStation&) = delete;
    TStation& operator=(const TStation&) = delete;

    // Before any port is opened: the serial number's place is checked, the
    // log opened and the series read. The exit status: esComplete, esUsage
    // (the number lies outside the memory image or over the file's bytes) or
    // esBadFile (the log or the series' state cannot be written); the host
    // was told why.
    int Open();
    // Runs until `stop` (or --chips good chips, the serial numbers used up, a
    // log that cannot be written); every chip whose write pass began is
    // finished first, any other work ends at once. The exit status: 0 when
    // every chip passed, 1 when one failed or the numbers ran out, 3 when the
    // log or the series' state could not be written.
    int Run(std::stop_token stop);

    // Enter: starts the boards that wait for it at this moment, no other.
    void EnterPressed();
    // Go for one board (a window's button on its tile): starts that board's
    // next chip when it waits for it at this moment.
    void Go(std::size_t board);

    TStationTotals Totals() const;
    // Every board and the totals as they are now; the host's next wake
    // (IStationHost::Changed) comes with the next change.
    TStationSnapshot Snapshot();
    // The file's checksum as the board's checksum command gives it, "0x1E05".
    std::string Checksum() const;

private:
    class TImpl;
    std::unique_ptr<TImpl> FImpl;
};

}  // namespace corvane::station
