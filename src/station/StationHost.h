#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "BoardRun.h"
#include "BoardView.h"
#include "StationLog.h"

// What a production station tells its host (the command line's terminal, a
// window), and the words of its boards' states, which every host shows alike.
namespace corvane::station {

struct TStationTotals {
    int Good = 0;
    int Failed = 0;
    double Seconds = 0;                       // since the start
    std::optional<std::uint64_t> NextSerial;  // the number the next chip gets
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
};

// The words of a board's state, the same in every host. `result` is the last
// chip's (see IStationHost::BoardState); `withResult`: put it in front where
// the state has one, for a host whose line keeps it in view.
std::string BoardStateText(TBoardState state, const std::string& result, bool withResult);

// The host's side of a station. Threads: every call below (and those of
// IBoardReport) comes from a thread of the station's, a board's or its
// search's, never from the thread that called TStation::Run, and calls for
// different boards may come at the same time; the calls for one board come in
// order. A host that draws on a thread of its own (a window) need implement
// only Changed() and read TStation::Snapshot() there; the other calls may do
// nothing. The host calls TStation's Go, EnterPressed, Snapshot
// and Totals from any thread; Run from one thread, which it blocks.
class IStationHost : public IBoardReport {
public:
    // A board the station took on, as found; the number of its line for the
    // calls of IBoardReport. A port taken on again keeps its line.
    virtual std::size_t AddBoard(const std::string& port, const std::string& chip) = 0;
    virtual void SetChip(std::size_t board, const std::string& chip) = 0;
    // `result`: the last chip's result with RemoveChip and Gone (or what a
    // chip found seated holds), else empty.
    virtual void BoardState(std::size_t board, TBoardState state, const std::string& result) = 0;
    // A chip's work begins on the board.
    virtual void ChipStarted(std::size_t /*board*/) {}
    // A chip's row (row.Logged: it is in the log; when not, the station ends
    // and Message said why; row.Outcome: how the chip ended); a failed chip is
    // also told to ChipFailed.
    virtual void ChipDone(std::size_t board, const TStationRow& row) = 0;
    virtual void ChipFailed(std::size_t board) = 0;
    // In the order they were counted.
    virtual void Totals(const TStationTotals& totals) = 0;
    // No programmer has answered yet.
    virtual void WaitingForProgrammer() = 0;
    // Something the user must know of the station as a whole: a start refused
    // (`error`), a notice such as a series that goes on after the log's numbers.
    virtual void Notice(const std::string& text, bool error) = 0;
    // The snapshot has changed since the host last took it; no other wake
    // comes until it takes it (TStation::Snapshot).
    virtual void Changed() {}
};

}  // namespace corvane::station
