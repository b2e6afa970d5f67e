#include "BoardView.h"

#include <cstdio>

namespace corvane::station {

void TBoardView::ShowStatus(const std::string& text) {
    FinishPass();
    // A text that repeats the last changes nothing; the poll's empty one says nothing.
    if (text.empty() || text == FLastStatus) return;
    FLastStatus = text;
    FReport.Step(FBoard, text);
}

void TBoardView::SetProgressRange(int /*min*/, int max) {
    FinishPass();
    FPassOpen = true;
    FDone = 0;
    FTotal = max + 1;
    FPassStart = Clock::now();
}

void TBoardView::PassProgress(int done, int total) {
    if (!FPassOpen) SetProgressRange(0, total - 1);
    FDone = done;
    FTotal = total;
    FReport.Progress(FBoard, done, total, PassSeconds());
}

void TBoardView::FinishPass() {
    if (!FPassOpen) return;
    FPassOpen = false;
    if (FDone > 0) FReport.PassEnded(FBoard, FDone, FTotal, PassSeconds());
}

void TBoardView::ShowMessage(const std::string& text) {
    FinishPass();
    // The link's one message: the character that came instead of the echo of
    // a read-back command (NUL when none came), shown so a control byte is seen.
    std::string shown;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u <= 0x7E) {
            shown += c;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
        shown += escaped;
    }
    FReport.Message(FBoard, "unexpected answer from the programmer: \"" + shown + "\"");
}

double TBoardView::PassSeconds() const {
    return std::chrono::duration<double>(Clock::now() - FPassStart).count();
}

}  // namespace corvane::station
