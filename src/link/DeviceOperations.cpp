#include <string>

#include "ProgrammerLink.h"
#include "Protocol.h"
#include "Replies.h"

// The device operations: the byte counter, erase, write, read, the two
// verifies and lock, each on the open port of the programmer.
namespace corvane {

using namespace protocol;

namespace {

constexpr int kEraseAttempts = 10;

}  // namespace

bool TProgrammerLink::SetCounter(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    if (FBoard.Stopping()) return false;
    // Once begun, the count is entered to its end: the board is inside the
    // entry until LF, which the settling sends when a digit goes unanswered.
    TNoStop whole(FBoard);
    TBoardExchange::TCountEntry entry(FBoard);
    const std::string digits = std::to_string(count);
    std::string reply;
    Exchange('s', kXon, reply, 2000);
    if (reply.empty()) return false;
    for (char digit : digits) {
        Exchange(digit, kXon, reply, 1000);
        if (reply.empty()) return false;
    }
    entry.Close();
    Exchange(kLf, kPrompt, reply, 1000);
    return Contains(reply, "ok");
}

bool TProgrammerLink::EraseChip() {
    TIdleGuard idle(FBoard);
    FBoard.SettleBoard();
    FBoard.PurgePort();
    std::string reply;
    if (FChipKind == ck89C2051) {
        // No status query on this chip: erase, then read back until blank.
        const std::uint16_t size = FSourceImage.MemSize();
        if (!SetCounter(size)) {
            ShowStatus("Send Counter Failed!");
            return false;
        }
        // A board that answers every read-back with the wrong echo shows its
        // box once per erase, not once per attempt.
        FOneEchoBox = true;
        FEchoBoxShown = false;
        struct TEchoBoxes {
            bool& One;
            ~TEchoBoxes() { One = false; }
        } echoBoxes{FOneEchoBox};
        for (int k = 1; k <= kEraseAttempts; ++k) {
            if (FBoard.Stopping()) return false;
            ShowStatus(Format("Erasing...[%u/10]", static_cast<unsigned>(k)));
            FView.RepaintStatus();
            Exchange('e', kPrompt, reply, 5000);
            if (ReadChip(size) && AllErased(FReadImage, FReadImage.MemSize())) return true;
        }
        return false;
    }
    for (int k = 1; k <= kEraseAttempts; ++k) {
        if (FBoard.Stopping()) return false;
        ShowStatus(Format("Erasing...[%u/10]", static_cast<unsigned>(k)));
        FView.RepaintStatus();
        Exchange('e', kPrompt, reply, 5000);
        if (!Contains(reply, "ok")) continue;
        Exchange('p', kPrompt, reply, 30000);
        if (SaysErased(reply)) return true;
    }
    return false;
}

bool TProgrammerLink::WriteChip(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    FView.SetProgressRange(0, count - 1);
    std::string reply;
    {
        TNoStop echo(FBoard);
        Exchange('w', 'w', reply, 1000);
    }
    // The board that took 'w' now expects count bytes, echo or not.
    FBoard.OpenPass(TBoardExchange::TPass::Write, count);
    // On a fast line the first XON comes in with the echo and has been read
    // already; it is the first byte's XON.
    std::size_t echo = reply.find('w');
    FBoard.SetPassReady(echo != std::string::npos &&
                        reply.find(kXon, echo + 1) != std::string::npos);

    std::uint32_t done = 0;
    if (!reply.empty()) {
        int strayBudget = 0;
        for (std::uint32_t i = 0; i < count && !FBoard.Stopping(); ++i) {
            const auto address = static_cast<std::uint16_t>(i);
            if (!FBoard.SendPassByte(FSourceImage.GetByte(address),
                                     TBoardExchange::THandshake::Strict, strayBudget)) {
                break;
            }
            ++done;
            FView.SetProgressPosition(static_cast<int>(i));
            FView.PassProgress(static_cast<int>(done), count);
            FView.RepaintWindow();
        }
    }
    FView.SetProgressPosition(0);
    if (done != count) {
        FBoard.FinishWritePass();
        return false;
    }
    FBoard.CloseWritePass();
    return true;
}

bool TProgrammerLink::ReadChip(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    FView.SetProgressRange(0, count - 1);
    FBoard.SettleBoard();
    FBoard.SendByte('r');
    FBoard.OpenPass(TBoardExchange::TPass::Read, count);
    FBoard.Pause(FCommandPause);

    std::uint32_t stored = 0;
    std::uint8_t echo = 0;
    if (FBoard.Stopping()) {
        // Stopped before the dump was looked at: it is only drained.
    } else if (!FBoard.ReadOneByte(echo) || echo != 'r') {
        // The box shows the offending character alone (NUL when none came).
        if (!FBoard.Stopping() && (!FOneEchoBox || !FEchoBoxShown)) {
            FEchoBoxShown = true;
            FView.ShowMessage(std::string(1, static_cast<char>(echo)));
        }
    } else {
        for (std::uint32_t i = 0; i < count && !FBoard.Stopping(); ++i) {
            std::uint8_t high = 0;
            std::uint8_t low = 0;
            if (!FBoard.ReadOneByte(high) || !FBoard.ReadOneByte(low)) break;
            int h = HexDigit(high);
            int l = HexDigit(low);
            if (h < 0 || l < 0) break;
            FReadImage.SetByte(static_cast<std::uint16_t>(i),
                               static_cast<std::uint8_t>(h * 16 + l));
            ++stored;
            FBoard.CountPassByte();
            FView.SetProgressPosition(static_cast<int>(i));
            FView.PassProgress(static_cast<int>(stored), count);
            FView.RepaintWindow();
        }
    }
    FView.SetProgressPosition(0);
    // Up to the prompt, after a failure or a stop too: a board that is still
    // dumping is read to its end.
    FBoard.DrainReadPass();
    return stored == count;
}

bool TProgrammerLink::VerifyChip(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    if (!ReadChip(count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto address = static_cast<std::uint16_t>(i);
        if (FSourceImage.GetByte(address) != FReadImage.GetByte(address)) return false;
    }
    return true;
}

bool TProgrammerLink::FastVerifyChip(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    FBoard.SettleBoard();
    FBoard.PurgePort();
    FBoard.Pause(FCommandPause);
    if (FBoard.Stopping()) return false;
    std::string reply;
    Exchange('c', kPrompt, reply, 1000);
    if (reply.empty()) return false;

    const std::optional<std::uint16_t> value = ReadChecksum(reply);
    if (!value) return false;

    unsigned sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        sum += FSourceImage.GetByte(static_cast<std::uint16_t>(i));
    }
    return ((sum + *value) & 0xFFFF) == 0;
}

bool TProgrammerLink::LockChip(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    std::string reply;
    Exchange('l', kPrompt, reply, 500);
    if (FBoard.Stopping()) return false;
    if (reply.empty()) {
        ShowStatus("Lock Failed!");
        return false;
    }
    if (!ReadChip(count)) {
        if (!FBoard.Stopping()) ShowStatus("Lock Failed!");
        return false;
    }
    return AllErased(FReadImage, count);
}

}  // namespace corvane
