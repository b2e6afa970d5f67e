// Plays the programmer board with arbitrary byte streams: the link discovers
// the "board", identifies its chip, programs a file into it and reads it back,
// taking whatever comes as the answers. Every outcome is allowed except a
// crash, a hang or a sanitizer report.
//
// Input: byte 0 picks the options (fast verify, lock, 2051 memory size),
// then chunks of [length][bytes], each arriving on the line when the host
// next looks for input. When the chunks run out the line fails (EIO), which
// ends whatever is under way quickly with a port error.
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "CPort.h"
#include "DeviceMap.h"
#include "ProgrammerLink.h"
#include "UHexFile.h"

namespace {

using namespace corvane;
using namespace corvane::device;

class ScriptDevice : public IComDevice {
public:
    explicit ScriptDevice(std::deque<std::string> chunks) : FChunks(std::move(chunks)) {}

    int Open(const std::string&) override {
        FOpen = true;
        return 0;
    }
    bool IsOpen() const override { return FOpen; }
    int Close() override {
        FOpen = false;
        return 0;
    }
    int SetupComm(std::uint32_t, std::uint32_t) override { return 0; }
    int SetCommState(const TDcb&) override { return 0; }
    int SetCommTimeouts(const TCommTimeouts&) override { return 0; }
    int SetCommMask(std::uint32_t) override { return 0; }
    int WaitCommEvent(std::uint32_t&, const TStopSignal&) override { return ECANCELED; }
    int PurgeComm(std::uint32_t flags) override {
        if (flags & kPurgeRxClear) FQueue.clear();
        return 0;
    }
    int ClearCommError(std::uint32_t& errors, TComStat& stat) override {
        errors = 0;
        if (!Refill()) return EIO;
        stat.cbInQue = static_cast<std::uint32_t>(FQueue.size());
        stat.cbOutQue = 0;
        return 0;
    }
    int GetCommModemStatus(std::uint32_t& status) override {
        status = 0;
        return 0;
    }
    int TransmitCommChar(char) override { return FOpen ? 0 : EBADF; }
    int StartRead(TReadOp& op) override {
        op.Issued = true;
        op.Complete = true;
        if (!Refill()) {
            op.Error = EIO;
            return EIO;
        }
        const std::size_t n = std::min<std::size_t>(op.Count, FQueue.size());
        std::memcpy(op.Buffer, FQueue.data(), n);
        FQueue.erase(0, n);
        op.Done = static_cast<std::uint32_t>(n);
        return 0;
    }
    int CompleteRead(TReadOp& op) override { return op.Error; }
    int WaitForInput(int, bool& pending) override {
        if (!Refill()) return EIO;
        pending = !FQueue.empty();
        return 0;
    }

private:
    // Makes the next chunk arrive when nothing waits; false once the script
    // has run out (the line is gone).
    bool Refill() {
        while (FQueue.empty() && !FChunks.empty()) {
            FQueue = std::move(FChunks.front());
            FChunks.pop_front();
        }
        return !FQueue.empty();
    }

    std::deque<std::string> FChunks;
    std::string FQueue;
    bool FOpen = false;
};

class QuietView : public TSilentView {
public:
    explicit QuietView(std::uint8_t options) : FOptions(options) {}
    void ShowWaitCursor() override { ++FCursorDepth; }
    void RestoreCursor() override {
        if (--FCursorDepth < 0) __builtin_trap();
    }
    bool FastVerifyEnabled() const override { return true; }
    bool FastVerifyChecked() const override { return FOptions & 1; }
    bool LockChecked() const override { return FOptions & 2; }
    int MemSizeIndex() const override { return (FOptions >> 2) & 1; }
    int CursorDepth() const { return FCursorDepth; }

private:
    std::uint8_t FOptions;
    int FCursorDepth = 0;
};

struct Setup {
    std::string dir;
    std::string source;
    std::string target;
    Setup() {
        char tmpl[] = "/tmp/corvane-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        dir = tmpl;
        // A map with one port, so discovery has something to greet.
        AnnouncePort(dir + "/map", "fuzz", "/dev/fuzz-board");
        setenv("CORVANE_SERIALCOMM", (dir + "/map").c_str(), 1);
        THexFile image;
        image.SetMemSize(64);
        for (unsigned a = 0; a < 64; ++a)
            image.SetByte(static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(a * 5));
        source = dir + "/source.hex";
        target = dir + "/read.hex";
        image.SaveHex(source);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size < 1) return 0;
    std::deque<std::string> chunks;
    std::size_t pos = 1;
    while (pos < size) {
        const std::size_t len = std::min<std::size_t>(data[pos] + 1u, size - pos - 1);
        ++pos;
        if (len == 0) break;
        chunks.emplace_back(reinterpret_cast<const char*>(data + pos), len);
        pos += len;
    }

    QuietView view(data[0]);
    TProgrammerLink link(view);
    // The search greets the map's one port on the scripted line; the port
    // is no device of the system, so the screening is off.
    link.SetPortFactory([&chunks] {
        auto port = std::make_unique<TComPort>(std::make_unique<ScriptDevice>(std::move(chunks)));
        TProgrammerLink::ApplyProgrammerSettings(*port);
        port->SetEvents(TComEvents{});
        return port;
    });
    TPortScreen screen;
    screen.Enabled = false;
    link.SetPortScreen(screen);
    link.SetCommandPause(std::chrono::milliseconds(0));

    link.PollProgrammer();
    if (link.ChipKind() != ckNone) {
        if (link.ChipKind() == ck89C2051) link.ApplyMemSizeChoice();
        for (int step = 0; step < 2; ++step) {
            try {
                if (step == 0) {
                    link.ProgramFromFile(setup.source);
                } else {
                    link.ReadToFile(setup.target);
                }
            } catch (const Exception&) {
                // Port errors and file errors are the front end's to show.
            }
            if (view.CursorDepth() != 0) __builtin_trap();
        }
    }
    return 0;
}
