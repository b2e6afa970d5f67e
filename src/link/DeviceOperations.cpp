#include <span>
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

void TProgrammerLink::ShowPassByte(std::uint32_t index, std::uint16_t count) {
    FView.PassProgress(static_cast<int>(index) + 1, count);
    FView.RepaintWindow();
}

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
    // A count beyond the image raises the image's message before 'w' is sent.
    if (count > FSourceImage.MemSize()) FSourceImage.GetByte(count - 1);
    const std::span<const std::uint8_t> bytes(FSourceImage.Data().data(), count);
    return FBoard.WritePass(bytes,
                            [&](std::uint32_t index, std::uint8_t) { ShowPassByte(index, count); });
}

bool TProgrammerLink::ReadChip(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    const TBoardExchange::TReadPass pass =
        FBoard.ReadPass(count, FCommandPause, [&](std::uint32_t index, std::uint8_t byte) {
            FReadImage.SetByte(static_cast<std::uint16_t>(index), byte);
            ShowPassByte(index, count);
        });
    // The box waits for the user with the board back at its prompt. It shows
    // the offending character alone.
    if (pass.WrongEcho && !FBoard.Stopping() && (!FOneEchoBox || !FEchoBoxShown)) {
        FEchoBoxShown = true;
        FView.ShowMessage(std::string(1, *pass.WrongEcho));
    }
    return pass.Stored == count;
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
