#include "BoardExchange.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "Protocol.h"

namespace corvane {

using namespace protocol;

namespace {

// A write pass is finished with this byte: programming it leaves a cell as
// it is after the erase.
constexpr char kFiller = static_cast<char>(0xFF);

// Waits are cut into slices of this length so that a stop is noticed soon.
constexpr std::int32_t kStopSliceMs = 50;

// The line counts as quiet after the one-byte read time-out (100 x 1 + 1000).
constexpr std::int32_t kQuietMs = 1100;

// A reply that a stop left unread is awaited for what the command's budget
// had left, but no longer than the board is known to work before it answers
// (an erase), so that a board that never answers does not hold a stop up.
constexpr std::chrono::milliseconds kOwedReplyCap(5000);

// Stray bytes a finishing write pass passes over before it gives up (noise
// in place of a handshake byte; a line that floods instead of answering).
constexpr int kStrayBytes = 256;

// The longest reply an exchange keeps. The programmer's replies are a few
// dozen characters; a line that floods the host is read on and searched for
// the terminator, but what lies beyond this is dropped, so memory stays bounded.
constexpr std::size_t kMaxReply = 64 * 1024;

}  // namespace

TBoardExchange::TBoardExchange(IProgrammerView& view, std::unique_ptr<TComPort> port,
                               std::shared_ptr<TLineTrace> trace)
    : FView(view), FPort(std::move(port)), FTrace(std::move(trace)) {}

TBoardExchange::~TBoardExchange() {
    if (FTrace && FPort && FPort->Connected()) FTrace->Note("close " + FPort->Port());
}

bool TBoardExchange::WaitForInputOrStop(std::int32_t ms) {
    for (;;) {
        const std::int32_t slice = std::min(ms, kStopSliceMs);
        if (FPort->WaitForInput(slice)) return true;
        ms -= slice;
        if (ms <= 0 || Stopping()) return false;
    }
}

void TBoardExchange::Pause(std::chrono::milliseconds pause) {
    const auto end = Clock::now() + pause;
    while (!Stopping()) {
        const auto now = Clock::now();
        if (now >= end) return;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(end - now, std::chrono::milliseconds(kStopSliceMs)));
    }
}

void TBoardExchange::Exchange(char command, char terminator, std::string& reply,
                              std::int32_t budgetMs) {
    TIdleGuard idle(*this);
    // Nothing goes to the board while it is inside a pass or still owes a reply.
    SettleBoard();
    if (command != kNoCommand) SendByte(command);

    std::string received;
    bool seen = false;
    // Only the time spent inside each round is charged; it is kept finer than
    // a millisecond so that short rounds still count.
    auto remaining =
        std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(budgetMs));
    do {
        const auto t0 = Clock::now();
        std::int32_t waitMs = 0;
        if (remaining > Clock::duration::zero()) {
            waitMs = static_cast<std::int32_t>(
                std::chrono::ceil<std::chrono::milliseconds>(remaining).count());
        }
        if (WaitForInputOrStop(waitMs)) {
            std::int32_t pending = FPort->PendingInput();
            if (pending > 0) {
                std::string chunk;
                ReadPending(chunk, pending);
                seen = chunk.find(terminator) != std::string::npos;
                if (received.size() < kMaxReply) {
                    received.append(chunk, 0, std::min(chunk.size(), kMaxReply - received.size()));
                }
            }
        }
        remaining -= Clock::now() - t0;
    } while (!seen && remaining > Clock::duration::zero() && !Stopping());
    if (!seen && remaining > Clock::duration::zero()) {
        // Stopped: the caller gets what came, and the rest is awaited before
        // anything else is sent.
        FBoardPort = FPort->Port();
        FReplyOwed = true;
        FOwedTerminator = terminator;
        FOwedBudget = remaining;
    }
    reply = std::move(received);
}

void TBoardExchange::SettleBoard() {
    if (FCountEntry == TEntry::LeftOpen && (!FPort->Connected() || FPort->Port() != FEntryPort)) {
        // The port has failed or changed: no LF can reach that entry now.
        FCountEntry = TEntry::None;
    }
    if (FPass == TPass::None && !FReplyOwed && FCountEntry != TEntry::LeftOpen) return;
    if (!FPort->Connected() || FPort->Port() != FBoardPort) {
        // Another port: what that board owes or expects is for when it is
        // used again. A reply is not worth waiting for once the port has gone,
        // and an XON the board sent went with the port's input: the board
        // takes the next byte without another.
        FReplyOwed = false;
        if (FPass == TPass::Write) FPassReady = true;
        if (FCountEntry != TEntry::LeftOpen) return;
    }
    TNoStop finishing(*this);
    if (FPort->Port() == FBoardPort) {
        if (FPass == TPass::Write) FinishWritePass();
        if (FPass == TPass::Read) DrainReadPass();
    }
    if (FCountEntry == TEntry::LeftOpen) {
        // A digit went unanswered (or the port failed): the board waits in
        // the entry until LF ends it.
        FCountEntry = TEntry::None;
        std::string reply;
        Exchange(kLf, kPrompt, reply, 1000);
    }
    if (FReplyOwed) {
        const auto end = Clock::now() + std::min<Clock::duration>(FOwedBudget, kOwedReplyCap);
        const char terminator = FOwedTerminator;
        FReplyOwed = false;
        for (auto now = Clock::now(); now < end; now = Clock::now()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
            if (!FPort->WaitForInput(static_cast<std::int32_t>(left))) break;
            std::string chunk;
            ReadPending(chunk, FPort->PendingInput());
            if (chunk.find(terminator) != std::string::npos) break;
        }
    }
}

void TBoardExchange::SettleQuietly() noexcept {
    try {
        SettleBoard();
    } catch (...) {
        // The port failed: an open pass stays on record and is finished
        // before the port is used again.
    }
}

bool TBoardExchange::WritePass(std::span<const std::uint8_t> bytes, const TPassByte& written) {
    const auto count = static_cast<std::uint32_t>(bytes.size());
    FView.SetProgressRange(0, static_cast<int>(count) - 1);
    std::string reply;
    {
        TNoStop echo(*this);
        Exchange('w', 'w', reply, 1000);
    }
    // The board that took 'w' now expects count bytes, echo or not.
    OpenPass(TPass::Write, count);
    // On a fast line the first XON comes in with the echo and has been read
    // already; it is the first byte's XON.
    const std::size_t echo = reply.find('w');
    FPassReady = echo != std::string::npos && reply.find(kXon, echo + 1) != std::string::npos;
    try {
        std::uint32_t done = 0;
        int strayBudget = 0;
        for (std::uint32_t i = 0; i < count && !reply.empty() && !Stopping(); ++i) {
            if (!SendPassByte(bytes[i], THandshake::Strict, strayBudget)) break;
            ++done;
            FView.SetProgressPosition(static_cast<int>(i));
            if (written) written(i, bytes[i]);
        }
        FView.SetProgressPosition(0);
        if (done != count) {
            FinishWritePass();
            return false;
        }
        CloseWritePass();
        return true;
    } catch (...) {
        SettleQuietly();
        throw;
    }
}

TBoardExchange::TReadPass TBoardExchange::ReadPass(std::uint32_t count,
                                                   std::chrono::milliseconds echoPause,
                                                   const TPassByte& read) {
    FView.SetProgressRange(0, static_cast<int>(count) - 1);
    SettleBoard();
    SendByte('r');
    OpenPass(TPass::Read, count);
    TReadPass pass;
    try {
        Pause(echoPause);
        std::uint8_t echo = 0;
        if (Stopping()) {
            // Stopped before the dump was looked at: it is only drained.
        } else if (!ReadOneByte(echo) || echo != 'r') {
            pass.WrongEcho = static_cast<char>(echo);
        } else {
            for (std::uint32_t i = 0; i < count && !Stopping(); ++i) {
                std::uint8_t high = 0;
                std::uint8_t low = 0;
                if (!ReadOneByte(high) || !ReadOneByte(low)) break;
                const int h = HexDigit(high);
                const int l = HexDigit(low);
                if (h < 0 || l < 0) break;
                ++pass.Stored;
                --FPassExpected;
                FView.SetProgressPosition(static_cast<int>(i));
                if (read) read(i, static_cast<std::uint8_t>(h * 16 + l));
            }
        }
        FView.SetProgressPosition(0);
        // Up to the prompt, after a failure or a stop too: a board that is
        // still dumping is read to its end.
        DrainReadPass();
    } catch (...) {
        SettleQuietly();
        throw;
    }
    return pass;
}

void TBoardExchange::OpenPass(TPass pass, std::uint32_t expected) {
    FBoardPort = FPort->Port();
    FPass = pass;
    FPassExpected = expected;
    FPassReady = false;
    FPromptSeen = false;
}

bool TBoardExchange::SendPassByte(std::uint8_t byte, THandshake rule, int& strayBudget) {
    // A stray byte ends a strict pass; a tolerant one passes over it (a late
    // XOFF of the byte before, or noise, in front of the XON; noise in front
    // of the XOFF) until the stray budget is spent.
    const auto passOver = [&] { return rule == THandshake::Tolerant && --strayBudget >= 0; };
    while (!FPassReady) {
        std::uint8_t ready = 0;
        if (!ReadOneByte(ready)) {
            // No XON in time: it may have been lost on the line while the
            // board waits for this very byte. A strict pass fails, and the
            // finishing then sends at once; the finishing sends it blindly.
            FPassReady = true;
            if (rule == THandshake::Strict) return false;
            break;
        }
        if (ready == kXon) {
            FPassReady = true;
        } else if (!passOver()) {
            // Something else in place of the XON: the board may well be
            // waiting for this byte without another XON.
            FPassReady = true;
            return false;
        }
    }
    SendByte(static_cast<char>(byte));
    FPassReady = false;
    --FPassExpected;
    for (;;) {
        // Nothing at all after a byte sent: the board is not in a pass (or
        // the line is dead), and no more bytes are sent into it.
        std::uint8_t taken = 0;
        if (!ReadOneByte(taken)) return false;
        if (taken == kXoff) return true;
        if (FPassExpected == 0 && taken != kXon) {
            // The last byte's XOFF was lost, and the text that ends the pass
            // came in its place (a bare prompt, a line end first, text
            // first): the pass is done when it ends in the prompt.
            FPromptSeen = taken == kPrompt || ReadToPrompt();
            return FPromptSeen;
        }
        if (taken == kXon) {
            // The XOFF was lost on the line and this is the next byte's XON:
            // the board has taken the byte and is ready for the next.
            FPassReady = true;
            return true;
        }
        if (!passOver()) return false;
    }
}

bool TBoardExchange::ReadToPrompt() {
    // A board that dropped the pass sends no prompt: the line goes quiet.
    std::uint64_t budget = kMaxReply;
    while (FPort->WaitForInput(kQuietMs)) {
        std::string chunk;
        ReadPending(chunk, FPort->PendingInput());
        if (chunk.find(kPrompt) != std::string::npos) return true;
        if (chunk.size() >= budget) return false;
        budget -= chunk.size();
    }
    return false;
}

void TBoardExchange::CloseWritePass() {
    FPass = TPass::None;
    FPassExpected = 0;
    AwaitPassPrompt();
}

void TBoardExchange::AwaitPassPrompt() {
    if (std::exchange(FPromptSeen, false)) return;
    std::string reply;
    Exchange(kNoCommand, kPrompt, reply, 1000);
}

void TBoardExchange::FinishWritePass() {
    int strayBudget = kStrayBytes;
    ShowFinishing(FPassExpected);
    int sent = 0;
    while (FPassExpected > 0 && SendPassByte(kFiller, THandshake::Tolerant, strayBudget)) {
        FView.SetProgressPosition(++sent);
    }
    const bool finished = FPassExpected == 0;
    // Given up: the board has dropped the pass or the line has gone; either
    // way it expects nothing more.
    FPass = TPass::None;
    FPassExpected = 0;
    if (sent > 0) FView.SetProgressPosition(0);
    if (finished) AwaitPassPrompt();
    FPromptSeen = false;
}

void TBoardExchange::ShowFinishing(std::uint32_t bytes) {
    // The bar shows the rest of the pass as it is finished or drained.
    FView.SetProgressRange(0, static_cast<int>(bytes));
    FView.SetProgressPosition(0);
}

void TBoardExchange::DrainReadPass() {
    // The dump holds two digits a byte; a line that floods without a prompt
    // is not read for ever.
    const std::uint32_t owed = FPassExpected;
    if (owed > 0) ShowFinishing(owed);
    std::uint64_t budget = 2ULL * owed + 4096;
    std::uint64_t drained = 0;
    for (;;) {
        if (!FPort->WaitForInput(kQuietMs)) break;
        std::string chunk;
        ReadPending(chunk, FPort->PendingInput());
        // Also the last piece shows, when the rest came with the prompt.
        drained += chunk.size();
        if (owed > 0)
            FView.SetProgressPosition(static_cast<int>(std::min<std::uint64_t>(drained / 2, owed)));
        if (chunk.find(kPrompt) != std::string::npos || chunk.size() >= budget) break;
        budget -= chunk.size();
    }
    if (owed > 0) FView.SetProgressPosition(0);
    FPass = TPass::None;
    FPassExpected = 0;
}

bool TBoardExchange::ReadOneByte(std::uint8_t& byte) {
    if (FPort->ReadBytes(&byte, 1) != 1) return false;
    if (FTrace) FTrace->Received(&byte, 1);
    return true;
}

void TBoardExchange::SendByte(char byte) {
    FPort->SendChar(byte);
    if (FTrace) FTrace->Sent(static_cast<std::uint8_t>(byte));
}

void TBoardExchange::ReadPending(std::string& chunk, std::int32_t count) {
    FPort->ReadText(chunk, count);
    if (FTrace) FTrace->Received(chunk.data(), chunk.size());
}

void TBoardExchange::PurgePort() {
    FPort->PurgeBuffers(true, true);
    // What the purge dropped was never read, so it is not in the trace.
    if (FTrace) FTrace->Note("purge");
}

}  // namespace corvane
