#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "BoardView.h"

// What the user sees of a run on several programmer boards at once (--all):
// on a terminal one line per board (port, chip, step, bytes, rate) redrawn in
// place, otherwise one line for each step of each board, beginning with its
// port; at the end a table with a row for each board.
namespace corvane::cli {

// A board's row of the summary table.
struct TBoardRow {
    std::string Port;
    std::string Chip;
    std::string Result;    // "Complete!", the failure text or "Stopped!"
    double Seconds = -1;   // below 0: the board was not worked on
    std::string Checksum;  // program and verify: the file's, as the board's 'c' gives it
};

// The output that the boards' views share; called from the boards' threads.
class TBoardsDisplay : public station::IBoardReport {
public:
    TBoardsDisplay(std::FILE* out, std::FILE* err, bool terminal, bool quiet);
    TBoardsDisplay(const TBoardsDisplay&) = delete;
    TBoardsDisplay& operator=(const TBoardsDisplay&) = delete;

    // A board's line (at the bottom, also while others run); its number for
    // the calls below.
    std::size_t Add(const std::string& port, const std::string& chip);
    // The chip a board's line names.
    void SetChip(std::size_t board, const std::string& chip);
    // On a terminal, a line below the boards' (the station's totals).
    void SetFooter(const std::string& text);
    // The terminal's bell (a chip failed); nothing without a terminal.
    void Bell();

    void Step(std::size_t board, const std::string& text) override;
    void Progress(std::size_t board, int done, int total, double seconds) override;
    void PassEnded(std::size_t board, int done, int total, double seconds) override;
    void Message(std::size_t board, const std::string& text) override;

    // Once every board has ended: the lines drawn one last time, then the
    // messages held back meanwhile (they would tear a terminal's lines).
    void Finish();
    // The table; the checksum column only when `checksums`.
    void Summary(const std::vector<TBoardRow>& rows, bool checksums);

private:
    struct TLine {
        std::string Port;
        std::string Chip;
        std::string Step;
        bool Pass = false;  // the figures below belong to the step
        int Done = 0;
        int Total = 0;
        double Seconds = 0;
    };

    // The lock is held for these.
    std::string LineText(const TLine& line) const;
    void Redraw(bool force);

    std::mutex FMutex;
    std::FILE* FOut;
    std::FILE* FErr;
    bool FTerminal;
    bool FQuiet;
    std::vector<TLine> FLines;
    std::string FFooter;
    std::size_t FPortWidth = 0;
    std::size_t FChipWidth = 0;
    std::size_t FDrawn = 0;  // lines on the terminal that a redraw goes back over
    std::chrono::steady_clock::time_point FLastDraw{};
    std::vector<std::string> FHeldMessages;
};

// The link's view of one board (BoardView.h of the station library).
using station::TBoardView;

}  // namespace corvane::cli
