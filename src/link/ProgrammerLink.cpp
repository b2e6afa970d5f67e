#include "ProgrammerLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

namespace corvane {

namespace {

constexpr char kXon = 17;
constexpr char kXoff = 19;
constexpr char kPrompt = '>';
constexpr char kNoCommand = 0;

// The programmer's greeting always holds this keyword.
constexpr const char* kKeyword = "Yarv";

constexpr int kEraseAttempts = 10;

// The longest reply an exchange keeps. The programmer's replies are a few
// dozen characters; a line that floods the host is read on and searched for
// the terminator, but what lies beyond this is dropped, so memory stays bounded.
constexpr std::size_t kMaxReply = 64 * 1024;

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

std::string Format(const char* pattern, unsigned value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, pattern, value);
    return buf;
}

int HexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool AllErased(const THexFile& image, std::uint32_t count) {
    const auto& data = image.Data();
    for (std::uint32_t i = 0; i < count && i < data.size(); ++i) {
        if (data[i] != 0xFF) return false;
    }
    return true;
}

// Shows the hourglass for its lifetime and puts the remembered cursor back on
// every way out, exceptions included.
class WaitCursor {
public:
    explicit WaitCursor(IProgrammerView& view) : FView(view) { FView.ShowWaitCursor(); }
    ~WaitCursor() { FView.RestoreCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    IProgrammerView& FView;
};

}  // namespace

TProgrammerLink::TProgrammerLink(IProgrammerView& view, std::unique_ptr<TComPort> port)
    : FView(view), FComPort(std::move(port)) {
    if (!FComPort) {
        FComPort = std::make_unique<TComPort>();
        ApplyProgrammerSettings(*FComPort);
    }
}

TProgrammerLink::~TProgrammerLink() = default;

void TProgrammerLink::ApplyProgrammerSettings(TComPort& port) {
    port.SetBaudRate(br9600);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
    port.SetEvents(TComEvents{evRxChar});
    port.Buffer().SetInputSize(4096);
    port.Buffer().SetOutputSize(4096);
    // XON and XOFF must arrive as data: the write handshake is made of them.
    TComFlowControl& flow = port.FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(dtrDisable);
    flow.SetControlRTS(rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
    // A one-byte read gives up after 100 x 1 + 1000 ms.
    port.Timeouts().SetReadTotalMultiplier(100);
    port.Timeouts().SetReadTotalConstant(1000);
}

void TProgrammerLink::SetChipKind(TChipKind kind) {
    FChipKind = kind;
    std::uint16_t size = ChipMemSize(kind);
    if (size != 0) {
        FSourceImage.SetMemSize(size);
        FReadImage.SetMemSize(size);
    }
}

void TProgrammerLink::ApplyMemSizeChoice() {
    FSourceImage.SetMemSize(MemSizeForIndex(FView.MemSizeIndex()));
    FReadImage.SetMemSize(FSourceImage.MemSize());
}

void TProgrammerLink::ShowStatus(const std::string& text) {
    FLastStatus = text;
    FView.ShowStatus(text);
}

void TProgrammerLink::Exchange(char command, char terminator, std::string& reply,
                               std::int32_t budgetMs) {
    using Clock = std::chrono::steady_clock;
    if (command != kNoCommand) FComPort->SendChar(command);

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
        if (FComPort->WaitForInput(waitMs)) {
            std::int32_t pending = FComPort->PendingInput();
            if (pending > 0) {
                std::string chunk;
                FComPort->ReadText(chunk, pending);
                seen = chunk.find(terminator) != std::string::npos;
                if (received.size() < kMaxReply) {
                    received.append(chunk, 0, std::min(chunk.size(), kMaxReply - received.size()));
                }
            }
        }
        remaining -= Clock::now() - t0;
    } while (!seen && remaining > Clock::duration::zero());
    reply = std::move(received);
}

bool TProgrammerLink::ReadOneByte(std::uint8_t& byte) {
    return FComPort->ReadBytes(&byte, 1) == 1;
}

void TProgrammerLink::PollProgrammer() {
    FView.SetPollTimerEnabled(false);
    try {
        try {
            ListSerialPorts(FPortList);
        } catch (const std::exception&) {
            // No list of serial ports on this machine: no ports.
            FPortList.clear();
        }
        if (FChipKind != ckNone) {
            PollKnownChip();
        } else {
            ScanPorts();
        }
    } catch (...) {
        // Whatever went wrong, the programmer counts as gone and the next
        // tick looks for it afresh.
        FChipKind = ckNone;
        DropPort();
    }
    FView.SetPollTimerEnabled(true);
}

void TProgrammerLink::PollKnownChip() {
    try {
        std::string greeting;
        Exchange('\r', kPrompt, greeting, 1000);
        if (Contains(greeting, kKeyword)) {
            IdentifyChip(greeting);
        } else {
            FChipKind = ckNone;
        }
    } catch (const std::exception&) {
        // The port failed under a known chip: the programmer has gone.
        FChipKind = ckNone;
        DropPort();
    }
}

void TProgrammerLink::ScanPorts() {
    bool opened = false;
    for (const std::string& name : FPortList) {
        try {
            FComPort->SetPort(name);
            FComPort->OpenPort();
            FComPort->PurgeBuffers(true, true);
            opened = true;
            ShowStatus("Try to connect by : " + FComPort->Port());
            FView.RepaintStatus();
            std::string greeting;
            Exchange('\r', kPrompt, greeting, 500);
            if (Contains(greeting, kKeyword)) {
                ShowStatus("Identify target chip ...");
                FView.RepaintStatus();
                IdentifyChip(greeting);
                break;
            }
        } catch (const std::exception&) {
            // A port that is held elsewhere, gone or silent: try the next one.
        }
    }
    ShowStatus(opened ? "" : "Available port not found!");
}

void TProgrammerLink::DropPort() {
    // The component closes the port also when a device that has gone refuses
    // part of the close; what it reports then is of no further use here.
    try {
        FComPort->ClosePort();
    } catch (const std::exception&) {
    }
}

void TProgrammerLink::IdentifyChip(const std::string& greeting) {
    if (Contains(greeting, "2051")) {
        // The 2051/4051 has no fixed size: the front end applies the
        // "Code Memory" choice when it shows the chip.
        FChipKind = ck89C2051;
        return;
    }
    std::string reply;
    Exchange('p', kPrompt, reply, 30000);
    if (reply.empty()) return;
    std::string code = reply.size() > 1 ? reply.substr(1, 2) : std::string();
    SetChipKind(LookupChipCode(code));
}

bool TProgrammerLink::SetCounter(std::uint16_t count) {
    const std::string digits = std::to_string(count);
    std::string reply;
    Exchange('s', kXon, reply, 2000);
    if (reply.empty()) return false;
    for (char digit : digits) {
        Exchange(digit, kXon, reply, 1000);
        if (reply.empty()) return false;
    }
    Exchange('\n', kPrompt, reply, 1000);
    return Contains(reply, "ok");
}

bool TProgrammerLink::EraseChip() {
    FComPort->PurgeBuffers(true, true);
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
            ShowStatus(Format("Erasing...[%u/10]", static_cast<unsigned>(k)));
            FView.RepaintStatus();
            Exchange('e', kPrompt, reply, 5000);
            if (ReadChip(size) && AllErased(FReadImage, FReadImage.MemSize())) return true;
        }
        return false;
    }
    for (int k = 1; k <= kEraseAttempts; ++k) {
        ShowStatus(Format("Erasing...[%u/10]", static_cast<unsigned>(k)));
        FView.RepaintStatus();
        Exchange('e', kPrompt, reply, 5000);
        if (!Contains(reply, "ok")) continue;
        Exchange('p', kPrompt, reply, 30000);
        if (!Contains(reply, "ok")) continue;
        // The erase state is the character right after the first ','; with no
        // ',' it is the first character.
        std::size_t comma = reply.find(',');
        std::size_t at = comma == std::string::npos ? 0 : comma + 1;
        if (at < reply.size() && reply[at] == '0') return true;
    }
    return false;
}

bool TProgrammerLink::WriteChip(std::uint16_t count) {
    FView.SetProgressRange(0, count - 1);
    std::string reply;
    Exchange('w', 'w', reply, 1000);
    if (reply.empty()) return false;
    // On a fast line the first XON comes in with the echo and has been read
    // already; it is the first byte's XON.
    std::size_t echo = reply.find('w');
    bool xonTaken = echo != std::string::npos && reply.find(kXon, echo + 1) != std::string::npos;

    std::uint32_t done = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t byte = 0;
        if (!xonTaken && (!ReadOneByte(byte) || byte != kXon)) break;
        xonTaken = false;
        FComPort->SendChar(static_cast<char>(FSourceImage.GetByte(static_cast<std::uint16_t>(i))));
        if (!ReadOneByte(byte) || byte != kXoff) break;
        ++done;
        FView.SetProgressPosition(static_cast<int>(i));
        FView.PassProgress(static_cast<int>(done), count);
        FView.RepaintWindow();
    }
    FView.SetProgressPosition(0);
    if (done != count) return false;
    Exchange(kNoCommand, kPrompt, reply, 1000);
    return true;
}

bool TProgrammerLink::ReadChip(std::uint16_t count) {
    FView.SetProgressRange(0, count - 1);
    FComPort->SendChar('r');
    std::this_thread::sleep_for(FCommandPause);

    std::uint32_t stored = 0;
    std::uint8_t echo = 0;
    if (!ReadOneByte(echo) || echo != 'r') {
        // The box shows the offending character alone (NUL when none came).
        if (!FOneEchoBox || !FEchoBoxShown) {
            FEchoBoxShown = true;
            FView.ShowMessage(std::string(1, static_cast<char>(echo)));
        }
    } else {
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint8_t high = 0;
            std::uint8_t low = 0;
            if (!ReadOneByte(high) || !ReadOneByte(low)) break;
            int h = HexDigit(high);
            int l = HexDigit(low);
            if (h < 0 || l < 0) break;
            FReadImage.SetByte(static_cast<std::uint16_t>(i),
                               static_cast<std::uint8_t>(h * 16 + l));
            ++stored;
            FView.SetProgressPosition(static_cast<int>(i));
            FView.PassProgress(static_cast<int>(stored), count);
            FView.RepaintWindow();
        }
    }
    FView.SetProgressPosition(0);
    std::string reply;
    Exchange(kNoCommand, kPrompt, reply, 1000);
    return stored == count;
}

bool TProgrammerLink::VerifyChip(std::uint16_t count) {
    if (!ReadChip(count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto address = static_cast<std::uint16_t>(i);
        if (FSourceImage.GetByte(address) != FReadImage.GetByte(address)) return false;
    }
    return true;
}

bool TProgrammerLink::FastVerifyChip(std::uint16_t count) {
    FComPort->PurgeBuffers(true, true);
    std::this_thread::sleep_for(FCommandPause);
    std::string reply;
    Exchange('c', kPrompt, reply, 1000);
    if (reply.empty()) return false;

    // The value's four digits begin two characters after the first '=' (the
    // character right after it is skipped); with no '=', at the second
    // character.
    std::size_t equals = reply.find('=');
    std::size_t start = equals == std::string::npos ? 1 : equals + 2;
    if (start >= reply.size()) return false;
    std::string digits = reply.substr(start, 4);
    unsigned value = 0;
    for (char c : digits) {
        int d = HexDigit(static_cast<std::uint8_t>(c));
        if (d < 0) return false;
        value = value * 16 + static_cast<unsigned>(d);
    }

    unsigned sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        sum += FSourceImage.GetByte(static_cast<std::uint16_t>(i));
    }
    return ((sum + value) & 0xFFFF) == 0;
}

bool TProgrammerLink::LockChip(std::uint16_t count) {
    std::string reply;
    Exchange('l', kPrompt, reply, 500);
    if (reply.empty()) {
        ShowStatus("Lock Failed!");
        return false;
    }
    if (!ReadChip(count)) {
        ShowStatus("Lock Failed!");
        return false;
    }
    return AllErased(FReadImage, count);
}

int TProgrammerLink::LastDataIndex(const THexFile& image) {
    const auto& data = image.Data();
    int last = -1;
    for (std::size_t i = 0; i < data.size() && i < image.MemSize(); ++i) {
        if (data[i] != 0xFF) last = static_cast<int>(i);
    }
    return last;
}

void TProgrammerLink::ProgramFromFile(const std::string& fileName) {
    // A file that cannot be read or does not fit the chip raises here, before
    // the chip is touched.
    FSourceImage.LoadHex(fileName);
    FView.RepaintWindow();
    const int last = LastDataIndex(FSourceImage);
    if (last < 0) {
        // Erasing the chip for a file that holds nothing cannot be undone.
        ShowStatus("No data to program!");
        return;
    }
    const auto count = static_cast<std::uint16_t>(last + 1);

    WaitCursor cursor(FView);
    ShowStatus("Erasing...");
    if (!EraseChip()) {
        ShowStatus("Erase Failed!");
        return;
    }
    ShowStatus("Initial for Writing");
    if (!SetCounter(count)) {
        ShowStatus("Set Counter Failed!");
        return;
    }
    ShowStatus(Format("Writing... [%u Bytes]", count));
    FView.RepaintStatus();
    if (!WriteChip(count)) {
        ShowStatus("Write Failed!");
        return;
    }
    // Only kinds 1 to 6 have the programmer's checksum.
    if (FChipKind != ck89C2051 && FView.FastVerifyEnabled() && FView.FastVerifyChecked()) {
        ShowStatus("Fast Verify...");
        FView.RepaintWindow();
        if (!FastVerifyChip(count)) {
            ShowStatus("Fast Verify Failed!");
            return;
        }
    } else {
        ShowStatus("Verify...");
        FView.RepaintWindow();
        if (!VerifyChip(count)) {
            ShowStatus("Verify Failed!");
            return;
        }
    }
    if (FView.LockChecked()) {
        ShowStatus("Verify Locked code");
        if (!LockChip(count)) {
            ShowStatus("Lock Failed!");
            return;
        }
    }
    ShowStatus("Complete!");
    FView.SetProgressPosition(0);
}

void TProgrammerLink::ReadToFile(const std::string& fileName) {
    const std::uint16_t count =
        FChipKind == ck89C2051 ? MemSizeForIndex(FView.MemSizeIndex()) : FReadImage.MemSize();
    FReadImage.Clear();

    WaitCursor cursor(FView);
    if (!SetCounter(count)) {
        ShowStatus("Set Counter Failed");
        return;
    }
    ShowStatus("Reading...");
    FView.RepaintWindow();
    if (!ReadChip(count)) {
        ShowStatus("Read Failed!");
        return;
    }
    FReadImage.SaveHex(fileName);
    FView.SetProgressPosition(0);
    ShowStatus("Complete!");
}

}  // namespace corvane
