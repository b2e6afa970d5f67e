#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CPort.h"
#include "ChipKind.h"
#include "ProgrammerView.h"
#include "UHexFile.h"

namespace corvane {

// The programmer link: the chip in the socket, the command exchange with the
// programmer board, discovery of its port, the device operations and the Send
// and Read workflows. It is driven by a front end, which owns the busy flag and
// the timer, and reports through an IProgrammerView.
//
// The protocol has no command that ends a pass: a board told to take n bytes
// waits for all n, across the host closing and reopening the port, and a board
// told to dump goes on dumping. So the link keeps track of the board's state
// beyond its prompt, and every way out of a pass (failure, stop, exception)
// finishes a write pass (0xFF, which leaves an erased cell as it is, under the
// handshake for each byte still expected) or drains a read pass (up to the
// prompt or a quiet line). Nothing else is sent while a pass is open, and the
// board is back at its prompt whenever the link is idle.
class TProgrammerLink {
public:
    // nullptr: a TComPort with the programmer's line settings.
    explicit TProgrammerLink(IProgrammerView& view, std::unique_ptr<TComPort> port = nullptr);
    ~TProgrammerLink();
    TProgrammerLink(const TProgrammerLink&) = delete;
    TProgrammerLink& operator=(const TProgrammerLink&) = delete;

    TComPort& ComPort() { return *FComPort; }
    TChipKind ChipKind() const { return FChipKind; }
    THexFile& SourceImage() { return FSourceImage; }
    THexFile& ReadImage() { return FReadImage; }
    const std::vector<std::string>& PortList() const { return FPortList; }

    // Stores the kind; kinds 1 to 6 also size both images to their code memory.
    void SetChipKind(TChipKind kind);
    // Both images to (MemSizeIndex() + 1) * 2048: the "Code Memory" choice of a 2051/4051.
    void ApplyMemSizeChoice();

    // Sends `command` (nothing for NUL) and gathers what comes back until
    // `terminator` occurs anywhere in it or `budgetMs` has been spent. Blocks
    // on the port while waiting. The reply holds everything received.
    void Exchange(char command, char terminator, std::string& reply, std::int32_t budgetMs);

    // One poll cycle: re-greets the programmer of a known chip or scans the
    // listed ports for one. Switches the timer off while it runs and always on
    // again afterwards; never lets an exception out.
    void PollProgrammer();
    // Sets the chip kind from the programmer's greeting or its 'p' answer.
    void IdentifyChip(const std::string& greeting);

    bool SetCounter(std::uint16_t count);
    bool EraseChip();
    bool WriteChip(std::uint16_t count);
    bool ReadChip(std::uint16_t count);
    bool VerifyChip(std::uint16_t count);
    bool FastVerifyChip(std::uint16_t count);
    bool LockChip(std::uint16_t count);
    // Index of the last byte that is not 0xFF; -1 when every byte is 0xFF.
    static int LastDataIndex(const THexFile& image);

    // The Send workflow: file into the chip; the outcome is the status line.
    void ProgramFromFile(const std::string& fileName);
    // The Read workflow: the chip's code memory into a HEX file.
    void ReadToFile(const std::string& fileName);

    // Asks a running Send or Read (or a poll's wait) to stop at the next byte. Safe from any
    // thread and from a signal handler (a lock-free std::atomic<bool>).
    void RequestStop();
    bool StopRequested() const;
    // A stop stays requested until the next ProgramFromFile, ReadToFile or
    // PollProgrammer starts (each forgets an earlier one). A stopped pass is
    // finished or drained as a failed one is, and the workflow ends with the
    // status text "Stopped!" (a stopped Read saves nothing). A stopped
    // Exchange returns what it has; the reply the board still owes is awaited
    // (within what the command's budget had left, at most 5 s) before the link
    // goes idle or sends anything else.

    // Whether a pass is open on the board as far as the link knows (a pass
    // that could not be finished because the port failed; it is finished
    // before anything else is sent on that port).
    bool PassOpen() const { return FPass != TPass::None; }

    // The last text given to ShowStatus.
    std::string LastStatus() const { return FLastStatus; }

    // The line settings the programmer board needs: 9600 8N1, no flow control,
    // DTR and RTS off, one-byte reads giving up after 1100 ms.
    static void ApplyProgrammerSettings(TComPort& port);

    // The fixed pause the board is given after 'r' and before 'c' (500 ms).
    // Only a harness that plays the board itself without delays shortens it.
    void SetCommandPause(std::chrono::milliseconds pause) { FCommandPause = pause; }

private:
    using Clock = std::chrono::steady_clock;
    enum class TPass { None, Write, Read };
    class TIdleGuard;
    class TNoStop;

    void ShowStatus(const std::string& text);
    // A stop requested and not held off by a TNoStop scope.
    bool Stopping() const;
    // Waits for input for up to `ms`, in slices short enough to notice a stop.
    bool WaitForInputOrStop(std::int32_t ms);
    // A fixed pause that a stop cuts short.
    void Pause(std::chrono::milliseconds pause);
    // Ends a workflow at a step that failed or was stopped: the board back at
    // its prompt, then the failure text, or "Stopped!".
    void EndWorkflow(const char* failureText);
    // The board back at its prompt: an open pass on this port finished or
    // drained, a reply it still owes awaited. Ignores a stop.
    void SettleBoard();
    void SettleQuietly() noexcept;
    void OpenPass(TPass pass, std::uint32_t expected);
    void FinishWritePass();
    void DrainReadPass();
    // Reads until `wanted` comes, passing over other bytes; false when none
    // came within the one-byte time-out or the line only brought stray bytes.
    bool AwaitHandshake(std::uint8_t wanted, int& strayBudget);
    // One byte from the port within its read time-out; false when none came.
    bool ReadOneByte(std::uint8_t& byte);
    void PollKnownChip();
    void ScanPorts();
    // Closes the port after a failure on it, also when the close fails partway.
    void DropPort();

    IProgrammerView& FView;
    std::unique_ptr<TComPort> FComPort;
    TChipKind FChipKind = ckNone;
    THexFile FReadImage;
    THexFile FSourceImage;
    std::vector<std::string> FPortList;
    std::string FLastStatus;
    std::chrono::milliseconds FCommandPause{500};
    // While set, a read-back shows the wrong-echo box only if none has been
    // shown since it was set (the erase of a 2051/4051 reads back up to ten times).
    bool FOneEchoBox = false;
    bool FEchoBoxShown = false;

    std::atomic<bool> FStopRequested{false};
    static_assert(std::atomic<bool>::is_always_lock_free);
    int FNoStopDepth = 0;
    int FBusyDepth = 0;

    // The board's state beyond its prompt, on the port FBoardPort.
    std::string FBoardPort;
    TPass FPass = TPass::None;
    std::uint32_t FPassExpected = 0;  // write: bytes the board still expects; read: still owes
    bool FPassReady = false;          // write: the board takes the next byte without another XON
    bool FReplyOwed = false;          // a stopped Exchange left the board's reply unread
    char FOwedTerminator = 0;
    Clock::duration FOwedBudget{};
};

}  // namespace corvane
