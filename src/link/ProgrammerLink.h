#pragma once

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

    // The last text given to ShowStatus.
    std::string LastStatus() const { return FLastStatus; }

    // The line settings the programmer board needs: 9600 8N1, no flow control,
    // DTR and RTS off, one-byte reads giving up after 1100 ms.
    static void ApplyProgrammerSettings(TComPort& port);

    // The fixed pause the board is given after 'r' and before 'c' (500 ms).
    // Only a harness that plays the board itself without delays shortens it.
    void SetCommandPause(std::chrono::milliseconds pause) { FCommandPause = pause; }

private:
    void ShowStatus(const std::string& text);
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
};

}  // namespace corvane
