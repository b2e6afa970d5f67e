#include "TerminalView.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Console.h"

namespace corvane::cli {

namespace {

// Redraw the bar at most this often; the last byte of a pass always draws.
constexpr std::chrono::milliseconds kRedrawInterval(100);

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

std::string RateText(int bytes, double seconds) {
    char buf[32];
    if (seconds <= 0) return "- B/s";
    const double rate = bytes / seconds;
    if (rate >= 10240) {
        std::snprintf(buf, sizeof buf, "%.1f KB/s", rate / 1024);
    } else {
        std::snprintf(buf, sizeof buf, "%.0f B/s", rate);
    }
    return buf;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

TTerminalView::TTerminalView(std::FILE* out, std::FILE* err, bool terminal, bool quiet)
    : FOut(out),
      FErr(err),
      FTerminal(terminal),
      FQuiet(quiet),
      FLineEraser(terminal && console::TakesEscapes(out) ? "\x1b[K" : "") {}

void TTerminalView::ShowStatus(const std::string& text) {
    FinishPass();
    if (OnStatus) OnStatus(text);
    const bool repeated = text == FLastStatus;
    FLastStatus = text;
    // The poll empties the status line after a scan: nothing to print.
    if (FQuiet || text.empty() || repeated) return;
    std::fprintf(FOut, "%s\n", Printable(text).c_str());
    std::fflush(FOut);
}

void TTerminalView::RepaintStatus() {
    std::fflush(FOut);
}

void TTerminalView::RepaintWindow() {
    std::fflush(FOut);
}

void TTerminalView::SetProgressRange(int /*min*/, int max) {
    FinishPass();
    FPassOpen = true;
    FBarShown = false;
    FDone = 0;
    FTotal = max + 1;
    FPassStart = Clock::now();
    FLastDraw = FPassStart;
}

void TTerminalView::SetProgressPosition(int /*position*/) {
    // PassProgress carries what the bar shows; the position's return to 0
    // after a pass changes nothing here.
}

void TTerminalView::PassProgress(int done, int total) {
    if (!FPassOpen) SetProgressRange(0, total - 1);
    FDone = done;
    FTotal = total;
    if (FTerminal && !FQuiet) DrawBar(done == total);
}

void TTerminalView::FinishPass() {
    if (!FPassOpen) return;
    FPassOpen = false;
    if (FQuiet || FDone == 0) return;
    const double seconds = Seconds(Clock::now() - FPassStart);
    if (FTerminal) {
        DrawBar(true);
        std::fputc('\n', FOut);
    } else {
        std::fprintf(FOut, "%d of %d bytes in %.2f s (%s)\n", FDone, FTotal, seconds,
                     RateText(FDone, seconds).c_str());
    }
    std::fflush(FOut);
}

void TTerminalView::ShowMessage(const std::string& text) {
    FinishPass();
    // The link's one message: the character that came instead of the echo of
    // a read-back command (NUL when none came).
    std::fprintf(FErr, "corvane-cli: unexpected answer from the programmer: \"%s\"\n",
                 Printable(text).c_str());
    std::fflush(FErr);
}

int TerminalColumns(std::FILE* stream) {
    const int columns = console::Columns(stream);
    return columns >= 40 ? columns : 80;
}

void TTerminalView::DrawBar(bool force) {
    const auto now = Clock::now();
    if (!force && FBarShown && now - FLastDraw < kRedrawInterval) return;
    FLastDraw = now;
    FBarShown = true;

    // Fixed-width figures keep the bar's length steady while the rate changes.
    const int totalDigits = static_cast<int>(std::to_string(FTotal).size());
    char figures[96];
    std::snprintf(figures, sizeof figures, " %*d/%d bytes  %10s", totalDigits, FDone, FTotal,
                  RateText(FDone, Seconds(now - FPassStart)).c_str());
    const int width =
        std::max(10, TerminalColumns(FOut) - static_cast<int>(std::strlen(figures)) - 3);
    const int filled =
        FTotal > 0 ? static_cast<int>(static_cast<long long>(width) * FDone / FTotal) : 0;
    std::string bar = "\r[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    bar += ']';
    bar += figures;
    bar += FLineEraser;
    std::fputs(bar.c_str(), FOut);
    std::fflush(FOut);
}

}  // namespace corvane::cli
