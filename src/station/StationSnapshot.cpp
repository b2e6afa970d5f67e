#include "StationSnapshot.h"

#include <utility>

namespace corvane::station {

template <typename TChange>
void TSnapshotKeeper::Change(TChange change) {
    bool wake = false;
    {
        std::lock_guard lock(FMutex);
        change(FSnapshot);
        ++FSnapshot.Changes;
        wake = !std::exchange(FWakePending, true);
    }
    if (wake) FHost.Changed();
}

TStationSnapshot TSnapshotKeeper::Take() {
    std::lock_guard lock(FMutex);
    FWakePending = false;
    return FSnapshot;
}

void TSnapshotKeeper::Step(std::size_t board, const std::string& text) {
    Change([&](TStationSnapshot& s) { s.Boards[board].Words = text; });
    FHost.Step(board, text);
}

void TSnapshotKeeper::Progress(std::size_t board, int done, int total, double seconds) {
    Change([&](TStationSnapshot& s) {
        s.Boards[board].Done = done;
        s.Boards[board].Total = total;
    });
    FHost.Progress(board, done, total, seconds);
}

void TSnapshotKeeper::PassEnded(std::size_t board, int done, int total, double seconds) {
    Change([&](TStationSnapshot& s) {
        s.Boards[board].Done = done;
        s.Boards[board].Total = total;
    });
    FHost.PassEnded(board, done, total, seconds);
}

void TSnapshotKeeper::Message(std::size_t board, const std::string& text) {
    Change([&](TStationSnapshot& s) { s.Boards[board].Message = text; });
    FHost.Message(board, text);
}

std::size_t TSnapshotKeeper::AddBoard(const std::string& port, const std::string& chip) {
    const std::size_t line = FHost.AddBoard(port, chip);
    Change([&](TStationSnapshot& s) {
        if (s.Boards.size() <= line) s.Boards.resize(line + 1);
        s.Boards[line].Port = port;
        s.Boards[line].Chip = chip;
        s.WaitingForProgrammer = false;
    });
    return line;
}

void TSnapshotKeeper::SetChip(std::size_t board, const std::string& chip) {
    Change([&](TStationSnapshot& s) { s.Boards[board].Chip = chip; });
    FHost.SetChip(board, chip);
}

void TSnapshotKeeper::BoardState(std::size_t board, TBoardState state, const std::string& result) {
    Change([&](TStationSnapshot& s) {
        TBoardSnapshot& b = s.Boards[board];
        b.State = state;
        b.Working = false;
        b.Words = BoardStateText(state, result, false);
        b.Done = b.Total = 0;
    });
    FHost.BoardState(board, state, result);
}

void TSnapshotKeeper::ChipStarted(std::size_t board) {
    Change([&](TStationSnapshot& s) {
        TBoardSnapshot& b = s.Boards[board];
        b.Working = true;
        b.Message.clear();
        b.Done = b.Total = 0;
    });
    FHost.ChipStarted(board);
}

void TSnapshotKeeper::ChipDone(std::size_t board, const TStationRow& row) {
    Change([&](TStationSnapshot& s) {
        TBoardSnapshot& b = s.Boards[board];
        b.Working = false;
        b.Last = row.Outcome;
        b.LastResult = row.Result;
        b.LastSerial = row.SerialUsed ? row.Serial : std::string();
    });
    FHost.ChipDone(board, row);
}

void TSnapshotKeeper::Totals(const TStationTotals& totals) {
    Change([&](TStationSnapshot& s) { s.Totals = totals; });
    FHost.Totals(totals);
}

void TSnapshotKeeper::WaitingForProgrammer() {
    Change([&](TStationSnapshot& s) { s.WaitingForProgrammer = true; });
    FHost.WaitingForProgrammer();
}

void TSnapshotKeeper::Notice(const std::string& text, bool error) {
    Change([&](TStationSnapshot& s) {
        s.Notice = text;
        s.NoticeIsError = error;
    });
    FHost.Notice(text, error);
}

}  // namespace corvane::station
