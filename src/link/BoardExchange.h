#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <utility>

#include "CPort.h"
#include "LineTrace.h"
#include "ProgrammerView.h"

namespace corvane {

// The exchange with one programmer board on one port, shared by every
// command and by the search: a command character sent and its reply gathered,
// the write and read passes (each one whole call, its byte-by-byte steps the
// exchange's own), and the board's state beyond its prompt.
//
// The protocol has no command that ends a pass: a board told to take n bytes
// waits for all n, across the host closing and reopening the port, and a board
// told to dump goes on dumping. So the exchange keeps track of the board's
// state, and every way out of a pass (failure, stop, exception) finishes a
// write pass (0xFF, which leaves an erased cell as it is, under the handshake
// for each byte still expected) or drains a read pass (up to the prompt or a
// quiet line). Nothing else is sent while a pass is open, and the board is
// back at its prompt whenever the exchange is idle.
class TBoardExchange {
public:
    // `view` shows a pass's bar, also while the pass is finished or drained.
    TBoardExchange(IProgrammerView& view, std::unique_ptr<TComPort> port,
                   std::shared_ptr<TLineTrace> trace);
    ~TBoardExchange();
    TBoardExchange(const TBoardExchange&) = delete;
    TBoardExchange& operator=(const TBoardExchange&) = delete;

    TComPort& Port() { return *FPort; }
    const TComPort& Port() const { return *FPort; }
    // Hands the port over as it is; the exchange has none until TakePort.
    std::unique_ptr<TComPort> ReleasePort() { return std::move(FPort); }
    void TakePort(std::unique_ptr<TComPort> port) { FPort = std::move(port); }

    // Records every byte sent and received from now on (nullptr: none).
    void SetTrace(std::shared_ptr<TLineTrace> trace) { FTrace = std::move(trace); }
    TLineTrace* Trace() const { return FTrace.get(); }
    const std::shared_ptr<TLineTrace>& SharedTrace() const { return FTrace; }

    // A command: its stop is the exchange's for the scope's lifetime.
    class TCommand;
    // Marks a call from a front end: when the outermost one ends, however it
    // ends, the board is brought back to its prompt.
    class TIdleGuard;
    // Steps that must run to their end once begun (the byte counter's entry,
    // the write command's echo) hold a stop off for the scope's lifetime.
    class TNoStop;
    // The board inside the byte counter's entry, from 's' until the LF that
    // ends it (Close() just before the LF is sent). Left any other way, the
    // entry is ended by the settling: LF, then the prompt awaited.
    class TCountEntry;

    // Whether the command now running has been asked to stop.
    bool StopRequested() const { return FStop.stop_requested(); }
    const std::stop_token& Stop() const { return FStop; }
    // A stop requested and not held off by a TNoStop scope.
    bool Stopping() const { return FNoStopDepth == 0 && StopRequested(); }

    // Sends `command` (nothing for NUL) and gathers what comes back until
    // `terminator` occurs anywhere in it or `budgetMs` has been spent. Blocks
    // on the port while waiting. The reply holds everything received. A
    // stopped exchange returns what it has; the reply the board still owes is
    // awaited (within what the budget had left, at most 5 s) before the
    // exchange goes idle or sends anything else.
    void Exchange(char command, char terminator, std::string& reply, std::int32_t budgetMs);

    // A fixed pause that a stop cuts short.
    void Pause(std::chrono::milliseconds pause);

    // Drops what waits in the port's queues (noted in the trace).
    void PurgePort();

    // Told after each byte of a pass that went through, with the bar already
    // moved: its index and the byte (written, or read from the chip).
    using TPassByte = std::function<void(std::uint32_t index, std::uint8_t byte)>;

    // A pass is one call, which returns (or lets an exception out) only when
    // the board is back at its prompt, however the pass ended: a failure, a
    // stop or an exception (from the port or from the callback) finishes a
    // write pass or drains a read pass first. Only a port that has failed
    // cannot take that: the pass then stays on record (PassOpen) and is
    // finished before anything else is sent on that port. The bar runs from
    // 0 to count - 1 over the pass and is back at 0 after it; a finishing or
    // a drain shows its own. The callback must not wait on a person (a
    // message box): the board waits inside the pass meanwhile.

    // 'w', then `bytes` one by one under the board's handshake. True when
    // every byte went through.
    bool WritePass(std::span<const std::uint8_t> bytes, const TPassByte& written);

    struct TReadPass {
        std::uint32_t Stored = 0;       // bytes read from address 0 on, up to the first failure
        std::optional<char> WrongEcho;  // what came in place of 'r' (NUL when nothing came)
    };
    // 'r', a pause of `echoPause`, the echo, then `count` bytes as two
    // hexadecimal digits each, up to the first pair that fails.
    TReadPass ReadPass(std::uint32_t count, std::chrono::milliseconds echoPause,
                       const TPassByte& read);

    // Whether a pass is open on the board as far as the exchange knows.
    bool PassOpen() const { return FPass != TPass::None; }
    // The port of the board whose state is on record.
    const std::string& BoardPort() const { return FBoardPort; }

    // The board back at its prompt: an open pass on this port finished or
    // drained, a count entry left half-way ended, a reply it still owes
    // awaited. Ignores a stop.
    void SettleBoard();
    void SettleQuietly() noexcept;

private:
    using Clock = std::chrono::steady_clock;

    // The port's input and output, traced when a trace is set.
    // One byte from the port within its read time-out; false when none came.
    bool ReadOneByte(std::uint8_t& byte);
    void SendByte(char byte);
    void ReadPending(std::string& chunk, std::int32_t count);

    enum class TPass { None, Write, Read };
    // The board has been told to take (write) or give (read) `expected` bytes.
    void OpenPass(TPass pass, std::uint32_t expected);

    // One byte of a write pass under the board's handshake: waits for the
    // XON (unless the board is ready already), sends the byte, and waits for
    // the XOFF. An XON in the place of the XOFF counts as both (the XOFF was
    // lost and the board is ready for the next byte); after the last byte any
    // text that ends in the prompt, in its place, ends the pass. A strict pass fails at the first
    // other byte, and when no XON comes in time; a tolerant one (finishing)
    // passes over up to `strayBudget` other bytes and sends without the XON
    // when none comes in time. False when the handshake failed or nothing
    // came back within the one-byte time-out.
    enum class THandshake { Strict, Tolerant };
    bool SendPassByte(std::uint8_t byte, THandshake rule, int& strayBudget);
    // Every byte of the write pass went through: the pass is closed and the
    // prompt awaited.
    void CloseWritePass();
    // The rest of a write pass sent as 0xFF, then the prompt awaited. Gives
    // up when nothing at all comes back after a byte.
    void FinishWritePass();
    // A read pass read up to the prompt or a quiet line.
    void DrainReadPass();

    // Waits for input for up to `ms`, in slices short enough to notice a stop.
    bool WaitForInputOrStop(std::int32_t ms);
    // The bar's range for the bytes a finishing or a drain still has to go.
    void ShowFinishing(std::uint32_t bytes);
    // The prompt after a write pass, unless it came in place of the last XOFF.
    void AwaitPassPrompt();
    // Reads on up to the prompt; false when the line went quiet first.
    bool ReadToPrompt();

    IProgrammerView& FView;
    std::unique_ptr<TComPort> FPort;
    std::shared_ptr<TLineTrace> FTrace;

    // The stop of the command that runs (none while idle).
    std::stop_token FStop;
    int FNoStopDepth = 0;
    int FBusyDepth = 0;

    // The board's state beyond its prompt, on the port FBoardPort.
    std::string FBoardPort;
    TPass FPass = TPass::None;
    std::uint32_t FPassExpected = 0;  // write: bytes the board still expects; read: still owes
    bool FPassReady = false;          // write: the board takes the next byte without another XON
    bool FPromptSeen = false;         // write: the prompt that ends the pass has been read
    bool FReplyOwed = false;          // a stopped Exchange left the board's reply unread
    enum class TEntry { None, Typing, LeftOpen };
    TEntry FCountEntry = TEntry::None;  // the byte counter's entry, on the port FEntryPort
    std::string FEntryPort;
    char FOwedTerminator = 0;
    Clock::duration FOwedBudget{};
};

class TBoardExchange::TCommand {
public:
    TCommand(TBoardExchange& board, std::stop_token stop)
        : FBoard(board), FOuter(std::exchange(board.FStop, std::move(stop))) {}
    ~TCommand() { FBoard.FStop = std::move(FOuter); }
    TCommand(const TCommand&) = delete;
    TCommand& operator=(const TCommand&) = delete;

private:
    TBoardExchange& FBoard;
    std::stop_token FOuter;
};

class TBoardExchange::TIdleGuard {
public:
    explicit TIdleGuard(TBoardExchange& board) : FBoard(board) { ++FBoard.FBusyDepth; }
    ~TIdleGuard() {
        if (--FBoard.FBusyDepth == 0) FBoard.SettleQuietly();
    }
    TIdleGuard(const TIdleGuard&) = delete;
    TIdleGuard& operator=(const TIdleGuard&) = delete;

private:
    TBoardExchange& FBoard;
};

class TBoardExchange::TCountEntry {
public:
    explicit TCountEntry(TBoardExchange& board) : FBoard(board) {
        FBoard.FEntryPort = FBoard.FPort->Port();
        FBoard.FCountEntry = TEntry::Typing;
    }
    ~TCountEntry() {
        if (FBoard.FCountEntry == TEntry::Typing) FBoard.FCountEntry = TEntry::LeftOpen;
    }
    void Close() { FBoard.FCountEntry = TEntry::None; }
    TCountEntry(const TCountEntry&) = delete;
    TCountEntry& operator=(const TCountEntry&) = delete;

private:
    TBoardExchange& FBoard;
};

class TBoardExchange::TNoStop {
public:
    explicit TNoStop(TBoardExchange& board) : FBoard(board) { ++FBoard.FNoStopDepth; }
    ~TNoStop() { --FBoard.FNoStopDepth; }
    TNoStop(const TNoStop&) = delete;
    TNoStop& operator=(const TNoStop&) = delete;

private:
    TBoardExchange& FBoard;
};

}  // namespace corvane
