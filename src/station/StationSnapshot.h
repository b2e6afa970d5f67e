#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "StationHost.h"

// The station as a window draws it: every board's state, chip, progress and
// last result, and the totals, read at any moment in one piece. The station
// keeps it up to date from the boards' threads and wakes the host once when
// it has changed; the host reads it on its own thread (TStation::Snapshot),
// which lets the next change wake it again. So no call per byte crosses to a
// window's thread.
namespace corvane::station {

struct TBoardSnapshot {
    std::string Port;
    std::string Chip;
    TBoardState State = TBoardState::WaitingForChip;
    bool Working = false;  // a chip is under way (Words tell its step)
    std::string Words;     // what it does now, in the terminal's words
    int Done = 0;          // its pass: bytes done of Total (0 of 0: no pass)
    int Total = 0;
    std::string Message;  // the last thing the board had to say (a message box elsewhere)
    // The last chip's end.
    TChipOutcome Last = TChipOutcome::None;
    std::string LastResult;  // "Complete!" or the failure
    std::string LastSerial;  // the number it got (empty: none)
};

struct TStationSnapshot {
    std::vector<TBoardSnapshot> Boards;
    TStationTotals Totals;
    bool WaitingForProgrammer = false;
    std::string Notice;  // the last word on the station as a whole
    bool NoticeIsError = false;
    std::uint64_t Changes = 0;  // counts the changes, so a host can tell a new one
};

// Keeps the snapshot from the station's reports and passes each on to the
// host. The calls come from the boards' threads; Take from the host's.
class TSnapshotKeeper : public IStationHost {
public:
    explicit TSnapshotKeeper(IStationHost& host) : FHost(host) {}

    // The snapshot now; the next change wakes the host again.
    TStationSnapshot Take();

    void Step(std::size_t board, const std::string& text) override;
    void Progress(std::size_t board, int done, int total, double seconds) override;
    void PassEnded(std::size_t board, int done, int total, double seconds) override;
    void Message(std::size_t board, const std::string& text) override;
    std::size_t AddBoard(const std::string& port, const std::string& chip) override;
    void SetChip(std::size_t board, const std::string& chip) override;
    void BoardState(std::size_t board, TBoardState state, const std::string& result) override;
    void ChipStarted(std::size_t board) override;
    void ChipDone(std::size_t board, const TStationRow& row) override;
    void ChipFailed(std::size_t board) override { FHost.ChipFailed(board); }
    void Totals(const TStationTotals& totals) override;
    void WaitingForProgrammer() override;
    void Notice(const std::string& text, bool error) override;
    void Changed() override {}

private:
    // Applies `change` to the snapshot under the lock, then wakes the host
    // unless a wake is pending.
    template <typename TChange>
    void Change(TChange change);

    IStationHost& FHost;
    std::mutex FMutex;
    TStationSnapshot FSnapshot;
    bool FWakePending = false;
};

}  // namespace corvane::station
