#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "BoardRun.h"
#include "BoardView.h"
#include "SerialNumber.h"
#include "StationLog.h"
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
    // false: the one port the user named is greeted even when busy or excluded.
    bool ScreenPorts = true;
};

struct TStationTotals {
    int Good = 0;
    int Failed = 0;
    double Seconds = 0;  // since the start
};

// What a board of the station is doing, for its line.
enum class TBoardState {
    WaitingForChip,
    WaitingForEnter,   // a 2051/4051 board, which cannot tell an empty socket
    RemoveChip,        // after a chip: its result is given (or that a chip found
                       // seated already holds the file)
    RemoveChipToGoOn,  // a board taken on again found a chip it may have programmed
    WaitingForPlace,   // --chips: every chip left is under way on other boards
    Gone,              // let go: no answer, or its port failed; looked for again
    InputEnded,        // no Enter can come any more
};

// The words of a board's state, the same in every host. `result` is the last
// chip's (see IStationHost::BoardState); `withResult`: put it in front where
// the state has one, for a host whose line keeps it in view.
std::string BoardStateText(TBoardState state, const std::string& result, bool withResult);

class IStationHost : public IBoardReport {
public:
    // A board the station took on, as found; the number of its line for the
    // calls of IBoardReport. A port taken on again keeps its line.
    virtual std::size_t AddBoard(const std::string& port, const std::string& chip) = 0;
    virtual void SetChip(std::size_t board, const std::string& chip) = 0;
    // `result`: the last chip's result with RemoveChip and Gone (or what a
    // chip found seated holds), else empty.
    virtual void BoardState(std::size_t board, TBoardState state, const std::string& result) = 0;
    // A chip's row (row.Logged: it is in the log; when not, the station ends
    // and Message said why); a failed chip is also told to ChipFailed.
    virtual void ChipDone(std::size_t board, const TStationRow& row) = 0;
    virtual void ChipFailed(std::size_t board) = 0;
    virtual void Totals(const TStationTotals& totals) = 0;
    // No programmer has answered yet.
    virtual void WaitingForProgrammer() = 0;
    // Something the user must know of the station as a whole: a start refused
    // (`error`), a notice such as a series that goes on after the log's numbers.
    virtual void Notice(const std::string& text, bool error) = 0;
    // The status that a chip stopped before its write pass gets in the log
    // (the host's: a signal's own, for instance).
    virtual int StopStatus() const { return esFailedStep; }
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
    // No Enter comes any more: the boards that need one end.
    void InputEnded();

    TStationTotals Totals() const;
    // The file's checksum as the board's checksum command gives it, "0x1E05".
    std::string Checksum() const;

private:
    class TImpl;
    std::unique_ptr<TImpl> FImpl;
};

}  // namespace corvane::station
