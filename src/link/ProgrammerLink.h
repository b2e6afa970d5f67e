#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "BoardExchange.h"
#include "CPort.h"
#include "ChipKind.h"
#include "Discovery.h"
#include "ImageFile.h"
#include "LineTrace.h"
#include "Outcome.h"
#include "PortScreen.h"
#include "ProbeSchedule.h"
#include "ProgrammerPort.h"
#include "ProgrammerView.h"
#include "UHexFile.h"

namespace corvane {

// The programmer link: the chip in the socket, the command exchange with the
// programmer board, discovery of its port, the device operations and the Send
// and Read workflows. It is driven by a front end, which owns the busy flag and
// the timer, and reports through an IProgrammerView.
//
// Its parts live in files of their own: the port's settings (ProgrammerPort),
// the exchange with the board and its passes (BoardExchange), discovery and
// the search (Discovery), the device operations (DeviceOperations.cpp) and the
// workflows (Workflows.cpp). The board is back at its prompt whenever the link
// is idle (see BoardExchange.h).
class TProgrammerLink {
public:
    // nullptr: a TComPort with the programmer's line settings. A port that
    // the search found (Discovery.h) is taken over as it is, open.
    explicit TProgrammerLink(IProgrammerView& view, std::unique_ptr<TComPort> port = nullptr);
    ~TProgrammerLink();
    TProgrammerLink(const TProgrammerLink&) = delete;
    TProgrammerLink& operator=(const TProgrammerLink&) = delete;

    TComPort& ComPort() { return FBoard.Port(); }
    TChipKind ChipKind() const { return FChipKind; }
    THexFile& SourceImage() { return FSourceImage; }
    THexFile& ReadImage() { return FReadImage; }
    const std::vector<std::string>& PortList() const { return FPortList; }
    // Hands the port over, open or not; the link is left with a closed one.
    std::unique_ptr<TComPort> ReleasePort();

    // Makes the port objects that a scan greets, one per port, and keeps the
    // one where it finds the programmer as ComPort(). Unset: a TComPort with
    // the programmer's line settings and the dispatcher of ComPort(), which
    // is served by the thread that drives the link.
    using TPortFactory = std::function<std::unique_ptr<TComPort>()>;
    void SetPortFactory(TPortFactory factory) { FPortFactory = std::move(factory); }

    // Which listed ports a scan opens (see PortScreen.h); by default the
    // system's consoles, ports held by other processes and ports that the
    // user's settings exclude are left alone. A front end that was given one
    // port by the user turns the screening off.
    void SetPortScreen(TPortScreen screen) { FPortScreen = std::move(screen); }
    const TPortScreen& PortScreen() const { return FPortScreen; }
    // Each port of the last scan with what became of it: left alone and why,
    // or tried (a refused open shows as NoPermission or Busy with the error).
    const std::vector<TPortCheck>& PortChecks() const { return FPortChecks; }
    // What the front end was last told about ports that were refused
    // (PermissionAdvice), empty when nothing is amiss.
    const std::string& PortNotice() const { return FPortNotice; }
    // When the scan greets each port (see ProbeSchedule.h): a silent port
    // less and less often, the programmer's port at every tick.
    TProbeSchedule& ProbeSchedule() { return FSchedule; }

    // Stores the kind; kinds 1 to 6 also size both images to their code memory.
    void SetChipKind(TChipKind kind);
    // Both images to (MemSizeIndex() + 1) * 2048: the "Code Memory" choice of a 2051/4051.
    void ApplyMemSizeChoice();

    // Sends `command` (nothing for NUL) and gathers what comes back until
    // `terminator` occurs anywhere in it or `budgetMs` has been spent. Blocks
    // on the port while waiting. The reply holds everything received.
    void Exchange(char command, char terminator, std::string& reply, std::int32_t budgetMs) {
        FBoard.Exchange(command, terminator, reply, budgetMs);
    }

    // One poll cycle: re-greets the programmer of a known chip or scans the
    // listed ports for one. Switches the timer off while it runs and always on
    // again afterwards; never lets an exception out. The scan greets every
    // port it may open at once (FindProgrammers) and keeps the first in the
    // list that holds a chip that is known, or else the first that answers;
    // the others' ports are closed again.
    void PollProgrammer(std::stop_token stop = {});
    // What the scan does on each port, on the open port: greets it and, when
    // a programmer answers, tells `answered` and identifies the chip. Whether
    // one answered (and was not cut short by a stop).
    bool Greet(std::stop_token stop = {}, const std::function<void()>& answered = {});
    // The board's greeting and chip query on the open port, as they came
    // (see corvane::AskSocket); the chip kind is left as it is.
    TSocketReply AskSocket(std::stop_token stop, std::int32_t greetingMs, std::int32_t queryMs);
    // Sets the chip kind from the programmer's greeting or its 'p' answer.
    void IdentifyChip(const std::string& greeting);

    bool SetCounter(std::uint16_t count);
    bool EraseChip();
    bool WriteChip(std::uint16_t count);
    bool ReadChip(std::uint16_t count);
    bool VerifyChip(std::uint16_t count);
    bool FastVerifyChip(std::uint16_t count);
    bool LockChip(std::uint16_t count);
    // The checksum that the board's checksum command gives for the chip's
    // first `count` bytes (the byte counter set to it first); nothing when
    // the board did not give one.
    std::optional<std::uint16_t> ChipChecksum(std::uint16_t count);
    // Index of the last byte that is not 0xFF; -1 when every byte is 0xFF.
    static int LastDataIndex(const THexFile& image);

    // The workflows end in an outcome, whose text is also the last status.
    // The Send workflow: file (HEX text or raw binary) into the chip.
    TOutcome ProgramFromFile(const std::string& fileName, std::stop_token stop = {},
                             TImageFormat format = TImageFormat::Hex);
    // Told on the link's thread when a Send is about to begin its write pass
    // (from then on bytes of the file may be in the chip); a stop asked for
    // before it returns ends the Send before anything is written.
    void SetWriteStarting(std::function<void()> told) { FWriteStarting = std::move(told); }
    // How the host names the 4KB size of a 2051/4051, for a file that fits
    // it but not the 2KB chosen ("Code Memory 4KB" unless set).
    void SetSizeChoiceName(std::string name) { FSizeChoiceName = std::move(name); }
    // The Send workflow for an image loaded before (a file that can be read
    // only once). A byte beyond the chip's code memory that is not 0xFF raises
    // EHexFile, as loading the file at the chip's size does, before the chip
    // is touched; so does a `fileLength` (a raw binary file's length, see
    // LoadImageFile) beyond it.
    TOutcome ProgramFromImage(const THexFile& image, std::stop_token stop = {},
                              std::size_t fileLength = 0);
    // The Read workflow: the chip's code memory into a HEX or raw binary file.
    TOutcome ReadToFile(const std::string& fileName, std::stop_token stop = {},
                        TImageFormat format = TImageFormat::Hex);
    // Compares the chip with a file by reading the chip back; never erases or
    // writes. A HEX file counts up to its last byte that is not 0xFF (as a
    // Send writes it), a raw binary file every byte it holds. "Complete!" when
    // equal; "Verify Failed!" when a byte differs (both images then hold what
    // was compared).
    TOutcome VerifyWithFile(const std::string& fileName, std::stop_token stop = {},
                            TImageFormat format = TImageFormat::Hex);
    // VerifyWithFile for an image loaded before, fitted as ProgramFromImage
    // does; a `fileLength` above 0 is the number of bytes compared.
    TOutcome VerifyWithImage(const THexFile& image, std::stop_token stop = {},
                             std::size_t fileLength = 0);
    // The Send's erase alone, with its status texts and attempts.
    TOutcome EraseOnly(std::stop_token stop = {});
    // Reads the whole code memory into the read image: "Complete!" when every
    // byte is 0xFF, "Not Blank!" otherwise.
    TOutcome BlankCheck(std::stop_token stop = {});
    // The number of bytes the last VerifyWithFile compared or BlankCheck read.
    std::uint16_t CheckedCount() const { return FCheckedCount; }

    // Records every byte sent and received from now on (nullptr: none). A
    // link starts with the DefaultLineTrace().
    void SetLineTrace(std::shared_ptr<TLineTrace> trace) { FBoard.SetTrace(std::move(trace)); }

    // Each command (PollProgrammer and the workflows above) takes the token of
    // its own stop: a stop asked for before the command starts stops it at
    // once, and nothing clears it. A stopped pass is finished or drained as a
    // failed one is, and the workflow ends with the status text "Stopped!" (a
    // stopped Read saves nothing). A stopped Exchange returns what it has; the
    // reply the board still owes is awaited (within what the command's budget
    // had left, at most 5 s) before the link goes idle or sends anything else.
    // Whether the command now running has been asked to stop.
    bool StopRequested() const { return FBoard.StopRequested(); }

    // Whether a pass is open on the board as far as the link knows (a pass
    // that could not be finished because the port failed; it is finished
    // before anything else is sent on that port).
    bool PassOpen() const { return FBoard.PassOpen(); }

    // The last text given to ShowStatus.
    std::string LastStatus() const { return FLastStatus; }

    // The line settings the programmer board needs: 9600 8N1, no flow control,
    // DTR and RTS off, one-byte reads giving up after 1100 ms.
    static void ApplyProgrammerSettings(TComPort& port) { corvane::ApplyProgrammerSettings(port); }

    // The fixed pause the board is given after 'r' and before 'c' (500 ms).
    // Only a harness that plays the board itself without delays shortens it.
    void SetCommandPause(std::chrono::milliseconds pause) { FCommandPause = pause; }

private:
    using TCommand = TBoardExchange::TCommand;
    using TIdleGuard = TBoardExchange::TIdleGuard;
    using TNoStop = TBoardExchange::TNoStop;

    void ShowStatus(const std::string& text);
    // What the view is told after byte `index` of a pass of `count` bytes.
    void ShowPassByte(std::uint32_t index, std::uint16_t count);
    // A file loaded at the chip's size; `fileLength` as LoadImageFile gives it.
    THexFile LoadAtChipSize(const std::string& fileName, TImageFormat format,
                            std::size_t& fileLength) const;
    // `image` into the source image at the chip's size (see ProgramFromImage).
    // A file beyond the chip raises EHexFile "Exceed Memory Size[...]" with
    // the file's length and the chip's size.
    void TakeSourceImage(const THexFile& image, std::size_t fileLength);
    // Ends a workflow at a step that failed or was stopped: the board back at
    // its prompt, then the failure text, or "Stopped!".
    TOutcome EndWorkflow(const char* failureText);
    // Ends a workflow with `kind` and its text on the status line.
    TOutcome Ended(TOutcomeKind kind, const char* text);
    // The chip's whole code memory: the Read's byte count.
    std::uint16_t WholeChipCount() const;
    void PollKnownChip();
    void ScanPorts();
    // A pass that a failed port left open is finished before the scan can
    // greet its board (the greeting would be taken as data); while it cannot
    // be, that port is taken out of `ports`.
    void FinishPassLeftOpen(std::vector<std::string>& ports);
    std::unique_ptr<TComPort> MakePort();
    // Closes the port after a failure on it, also when the close fails partway.
    void DropPort();
    // Tells the view of a changed port notice after a scan.
    void UpdatePortNotice(bool programmerFound);

    IProgrammerView& FView;
    TBoardExchange FBoard;
    TPortFactory FPortFactory;
    TChipKind FChipKind = ckNone;
    THexFile FReadImage;
    THexFile FSourceImage;
    std::vector<std::string> FPortList;
    TPortScreen FPortScreen;
    std::vector<TPortCheck> FPortChecks;
    std::string FPortNotice;
    TProbeSchedule FSchedule;
    std::string FLastStatus;
    std::chrono::milliseconds FCommandPause{500};
    std::uint16_t FCheckedCount = 0;
    std::function<void()> FWriteStarting;
    std::string FSizeChoiceName = "Code Memory 4KB";
    // While set, a read-back shows the wrong-echo box only if none has been
    // shown since it was set (the erase of a 2051/4051 reads back up to ten times).
    bool FOneEchoBox = false;
    bool FEchoBoxShown = false;
};

}  // namespace corvane
