#include "BoardsDisplay.h"

#include <algorithm>

#include "Console.h"
#include "TerminalView.h"

namespace corvane::cli {

namespace {

// The lines are redrawn at most this often; a new step always redraws.
constexpr std::chrono::milliseconds kRedrawInterval(100);
// The step column holds "Writing... [16384 Bytes]".
constexpr int kStepWidth = 24;

std::string Padded(const std::string& text, std::size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

}  // namespace

TBoardsDisplay::TBoardsDisplay(std::FILE* out, std::FILE* err, bool terminal, bool quiet)
    // Redrawn in place only where the terminal moves the cursor up.
    : FOut(out), FErr(err), FTerminal(terminal && console::TakesEscapes(out)), FQuiet(quiet) {}

std::size_t TBoardsDisplay::Add(const std::string& port, const std::string& chip) {
    std::lock_guard lock(FMutex);
    TLine& line = FLines.emplace_back();
    line.Port = Printable(port);
    line.Chip = chip;
    FPortWidth = std::max(FPortWidth, FLines.back().Port.size());
    FChipWidth = std::max(FChipWidth, chip.size());
    return FLines.size() - 1;
}

void TBoardsDisplay::SetChip(std::size_t board, const std::string& chip) {
    std::lock_guard lock(FMutex);
    FLines[board].Chip = chip;
    FChipWidth = std::max(FChipWidth, chip.size());
}

void TBoardsDisplay::SetFooter(const std::string& text) {
    std::lock_guard lock(FMutex);
    FFooter = text;
    if (FTerminal && !FQuiet) Redraw(true);
}

void TBoardsDisplay::Bell() {
    std::lock_guard lock(FMutex);
    if (!FTerminal) return;
    std::fputc('\a', FOut);
    std::fflush(FOut);
}

void TBoardsDisplay::Step(std::size_t board, const std::string& text) {
    std::lock_guard lock(FMutex);
    TLine& line = FLines[board];
    line.Step = Printable(text);
    line.Pass = false;
    if (FQuiet) return;
    if (FTerminal) return Redraw(true);
    std::fprintf(FOut, "%s: %s\n", line.Port.c_str(), line.Step.c_str());
    std::fflush(FOut);
}

void TBoardsDisplay::Progress(std::size_t board, int done, int total, double seconds) {
    std::lock_guard lock(FMutex);
    TLine& line = FLines[board];
    line.Pass = true;
    line.Done = done;
    line.Total = total;
    line.Seconds = seconds;
    if (FTerminal && !FQuiet) Redraw(done == total);
}

void TBoardsDisplay::PassEnded(std::size_t board, int done, int total, double seconds) {
    if (FTerminal) return Progress(board, done, total, seconds);
    std::lock_guard lock(FMutex);
    if (FQuiet) return;
    std::fprintf(FOut, "%s: %d of %d bytes in %.2f s (%s)\n", FLines[board].Port.c_str(), done,
                 total, seconds, RateText(done, seconds).c_str());
    std::fflush(FOut);
}

void TBoardsDisplay::Message(std::size_t board, const std::string& text) {
    std::lock_guard lock(FMutex);
    std::string message = "corvane-cli: " + FLines[board].Port + ": " + text + "\n";
    if (FTerminal && !FQuiet) {
        FHeldMessages.push_back(std::move(message));
        return;
    }
    std::fputs(message.c_str(), FErr);
    std::fflush(FErr);
}

void TBoardsDisplay::Finish() {
    std::lock_guard lock(FMutex);
    if (FTerminal && !FQuiet) Redraw(true);
    for (const std::string& message : FHeldMessages) std::fputs(message.c_str(), FErr);
    FHeldMessages.clear();
    std::fflush(FErr);
}

std::string TBoardsDisplay::LineText(const TLine& line) const {
    std::string text = Padded(line.Port, FPortWidth) + "  " + Padded(line.Chip, FChipWidth) + "  " +
                       Padded(line.Step, kStepWidth);
    if (line.Pass) {
        const int digits = static_cast<int>(std::to_string(line.Total).size());
        char figures[96];
        std::snprintf(figures, sizeof figures, "  %*d/%d bytes  %10s", digits, line.Done,
                      line.Total, RateText(line.Done, line.Seconds).c_str());
        text += figures;
    }
    return text;
}

void TBoardsDisplay::Redraw(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && FDrawn > 0 && now - FLastDraw < kRedrawInterval) return;
    FLastDraw = now;
    // A line as wide as the terminal would wrap and push the others down.
    const auto width = static_cast<std::size_t>(TerminalColumns(FOut) - 1);
    std::string text;
    if (FDrawn > 0) text += "\x1b[" + std::to_string(FDrawn) + "A";
    for (const TLine& line : FLines) text += "\r" + LineText(line).substr(0, width) + "\x1b[K\n";
    if (!FFooter.empty()) text += "\r" + FFooter.substr(0, width) + "\x1b[K\n";
    FDrawn = FLines.size() + (FFooter.empty() ? 0 : 1);
    std::fputs(text.c_str(), FOut);
    std::fflush(FOut);
}

void TBoardsDisplay::Summary(const std::vector<TBoardRow>& rows, bool checksums) {
    std::lock_guard lock(FMutex);
    std::size_t portWidth = 4;
    std::size_t chipWidth = 4;
    std::size_t resultWidth = 6;
    for (const TBoardRow& row : rows) {
        portWidth = std::max(portWidth, Printable(row.Port).size());
        chipWidth = std::max(chipWidth, row.Chip.size());
        resultWidth = std::max(resultWidth, row.Result.size());
    }
    auto line = [&](const std::string& port, const std::string& chip, const std::string& result,
                    const std::string& time, const std::string& checksum) {
        const std::string timeColumn =
            std::string(time.size() < 8 ? 8 - time.size() : 0, ' ') + time;
        std::string text = Padded(port, portWidth) + "  " + Padded(chip, chipWidth) + "  " +
                           Padded(result, resultWidth) + "  " + timeColumn;
        if (checksums) text += "  " + checksum;
        std::fprintf(FOut, "%s\n", text.c_str());
    };
    if (!FQuiet) std::fputc('\n', FOut);
    line("port", "chip", "result", "time", "checksum");
    for (const TBoardRow& row : rows) {
        char time[32] = "-";
        if (row.Seconds >= 0) std::snprintf(time, sizeof time, "%.1f s", row.Seconds);
        line(Printable(row.Port), row.Chip, row.Result, time, row.Checksum);
    }
    std::fflush(FOut);
}

}  // namespace corvane::cli
