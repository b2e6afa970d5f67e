#include "ProgrammerLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "ProgrammerSearch.h"

namespace corvane {

namespace {

constexpr char kXon = 17;
constexpr char kXoff = 19;
constexpr char kPrompt = '>';
constexpr char kNoCommand = 0;

// The programmer's greeting always holds this keyword.
constexpr const char* kKeyword = "Yarv";

constexpr int kEraseAttempts = 10;

constexpr const char* kStopped = "Stopped!";

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

// Marks a call from the front end: when the outermost one ends, however it
// ends, the board is brought back to its prompt.
class TProgrammerLink::TIdleGuard {
public:
    explicit TIdleGuard(TProgrammerLink& link) : FLink(link) { ++FLink.FBusyDepth; }
    ~TIdleGuard() {
        if (--FLink.FBusyDepth == 0) FLink.SettleQuietly();
    }
    TIdleGuard(const TIdleGuard&) = delete;
    TIdleGuard& operator=(const TIdleGuard&) = delete;

private:
    TProgrammerLink& FLink;
};

// Steps that must run to their end once begun (the byte counter's entry, the
// write command's echo) hold a stop off for their lifetime.
class TProgrammerLink::TNoStop {
public:
    explicit TNoStop(TProgrammerLink& link) : FLink(link) { ++FLink.FNoStopDepth; }
    ~TNoStop() { --FLink.FNoStopDepth; }
    TNoStop(const TNoStop&) = delete;
    TNoStop& operator=(const TNoStop&) = delete;

private:
    TProgrammerLink& FLink;
};

// A command from the front end: its stop is the link's for its lifetime.
class TProgrammerLink::TCommand {
public:
    TCommand(TProgrammerLink& link, std::stop_token stop)
        : FLink(link), FOuter(std::exchange(link.FStop, std::move(stop))) {}
    ~TCommand() { FLink.FStop = std::move(FOuter); }
    TCommand(const TCommand&) = delete;
    TCommand& operator=(const TCommand&) = delete;

private:
    TProgrammerLink& FLink;
    std::stop_token FOuter;
};

TProgrammerLink::TProgrammerLink(IProgrammerView& view, std::unique_ptr<TComPort> port)
    : FView(view), FComPort(std::move(port)), FTrace(DefaultLineTrace()) {
    if (!FComPort) FComPort = MakeProgrammerPort();
}

std::unique_ptr<TComPort> TProgrammerLink::ReleasePort() {
    std::unique_ptr<TComPort> port = std::move(FComPort);
    FComPort = MakeProgrammerPort();
    return port;
}

std::unique_ptr<TComPort> TProgrammerLink::MakePort() const {
    if (FPortFactory) return FPortFactory();
    std::unique_ptr<TComPort> port = MakeProgrammerPort();
    port->SetDispatcher(FComPort->Dispatcher());
    return port;
}

TProgrammerLink::~TProgrammerLink() {
    if (FTrace && FComPort->Connected()) FTrace->Note("close " + FComPort->Port());
}

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

bool TProgrammerLink::Stopping() const {
    return FNoStopDepth == 0 && StopRequested();
}

bool TProgrammerLink::WaitForInputOrStop(std::int32_t ms) {
    for (;;) {
        const std::int32_t slice = std::min(ms, kStopSliceMs);
        if (FComPort->WaitForInput(slice)) return true;
        ms -= slice;
        if (ms <= 0 || Stopping()) return false;
    }
}

void TProgrammerLink::Pause(std::chrono::milliseconds pause) {
    const auto end = Clock::now() + pause;
    while (!Stopping()) {
        const auto now = Clock::now();
        if (now >= end) return;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(end - now, std::chrono::milliseconds(kStopSliceMs)));
    }
}

void TProgrammerLink::Exchange(char command, char terminator, std::string& reply,
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
            std::int32_t pending = FComPort->PendingInput();
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
        FBoardPort = FComPort->Port();
        FReplyOwed = true;
        FOwedTerminator = terminator;
        FOwedBudget = remaining;
    }
    reply = std::move(received);
}

void TProgrammerLink::SettleBoard() {
    if (FPass == TPass::None && !FReplyOwed) return;
    if (!FComPort->Connected() || FComPort->Port() != FBoardPort) {
        // Another port: what that board owes or expects is for when it is
        // used again. A reply is not worth waiting for once the port has gone,
        // and an XON the board sent went with the port's input: the board
        // takes the next byte without another.
        FReplyOwed = false;
        if (FPass == TPass::Write) FPassReady = true;
        return;
    }
    TNoStop finishing(*this);
    if (FPass == TPass::Write) FinishWritePass();
    if (FPass == TPass::Read) DrainReadPass();
    if (FReplyOwed) {
        const auto end = Clock::now() + std::min<Clock::duration>(FOwedBudget, kOwedReplyCap);
        const char terminator = FOwedTerminator;
        FReplyOwed = false;
        for (auto now = Clock::now(); now < end; now = Clock::now()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
            if (!FComPort->WaitForInput(static_cast<std::int32_t>(left))) break;
            std::string chunk;
            ReadPending(chunk, FComPort->PendingInput());
            if (chunk.find(terminator) != std::string::npos) break;
        }
    }
}

void TProgrammerLink::SettleQuietly() noexcept {
    try {
        SettleBoard();
    } catch (...) {
        // The port failed: an open pass stays on record and is finished
        // before the port is used again.
    }
}

void TProgrammerLink::OpenPass(TPass pass, std::uint32_t expected) {
    FBoardPort = FComPort->Port();
    FPass = pass;
    FPassExpected = expected;
    FPassReady = false;
}

bool TProgrammerLink::SendPassByte(std::uint8_t byte, THandshake rule, int& strayBudget) {
    // A stray byte ends a strict pass; a tolerant one passes over it (a late
    // XOFF of the byte before, or noise, in front of the XON; noise in front
    // of the XOFF) until the stray budget is spent.
    const auto passOver = [&] { return rule == THandshake::Tolerant && --strayBudget >= 0; };
    while (!FPassReady) {
        std::uint8_t ready = 0;
        if (!ReadOneByte(ready)) return false;
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
        std::uint8_t taken = 0;
        if (!ReadOneByte(taken)) return false;
        if (taken == kXoff) return true;
        if (taken == kXon) {
            // The XOFF was lost on the line and this is the next byte's XON:
            // the board has taken the byte and is ready for the next.
            FPassReady = true;
            return true;
        }
        if (!passOver()) return false;
    }
}

void TProgrammerLink::FinishWritePass() {
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
    if (finished) {
        std::string reply;
        Exchange(kNoCommand, kPrompt, reply, 1000);
    }
}

void TProgrammerLink::ShowFinishing(std::uint32_t bytes) {
    // The bar shows the rest of the pass as it is finished or drained.
    FView.SetProgressRange(0, static_cast<int>(bytes));
    FView.SetProgressPosition(0);
}

void TProgrammerLink::DrainReadPass() {
    // The dump holds two digits a byte; a line that floods without a prompt
    // is not read for ever.
    const std::uint32_t owed = FPassExpected;
    if (owed > 0) ShowFinishing(owed);
    std::uint64_t budget = 2ULL * owed + 4096;
    std::uint64_t drained = 0;
    for (;;) {
        if (!FComPort->WaitForInput(kQuietMs)) break;
        std::string chunk;
        ReadPending(chunk, FComPort->PendingInput());
        if (chunk.find(kPrompt) != std::string::npos || chunk.size() >= budget) break;
        budget -= chunk.size();
        drained += chunk.size();
        if (owed > 0)
            FView.SetProgressPosition(static_cast<int>(std::min<std::uint64_t>(drained / 2, owed)));
    }
    if (owed > 0) FView.SetProgressPosition(0);
    FPass = TPass::None;
    FPassExpected = 0;
}

bool TProgrammerLink::ReadOneByte(std::uint8_t& byte) {
    if (FComPort->ReadBytes(&byte, 1) != 1) return false;
    if (FTrace) FTrace->Received(&byte, 1);
    return true;
}

void TProgrammerLink::SendByte(char byte) {
    FComPort->SendChar(byte);
    if (FTrace) FTrace->Sent(static_cast<std::uint8_t>(byte));
}

void TProgrammerLink::ReadPending(std::string& chunk, std::int32_t count) {
    FComPort->ReadText(chunk, count);
    if (FTrace) FTrace->Received(chunk.data(), chunk.size());
}

void TProgrammerLink::PurgePort() {
    FComPort->PurgeBuffers(true, true);
    // What the purge dropped was never read, so it is not in the trace.
    if (FTrace) FTrace->Note("purge");
}

void TProgrammerLink::PollProgrammer(std::stop_token stop) {
    TCommand command(*this, std::move(stop));
    FView.SetPollTimerEnabled(false);
    try {
        TIdleGuard idle(*this);
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
        } else if (!Stopping()) {
            // A greeting cut short by a stop tells nothing about the chip.
            // Otherwise the programmer has gone, and its port is not kept
            // from other programs.
            FChipKind = ckNone;
            DropPort();
        }
    } catch (const std::exception&) {
        // The port failed under a known chip: the programmer has gone.
        FChipKind = ckNone;
        DropPort();
    }
}

void TProgrammerLink::ScanPorts() {
    // The search opens ports of its own: the one held so far (a programmer
    // that named no known chip) is given up first.
    DropPort();
    std::vector<std::string> ports = FPortList;
    FinishPassLeftOpen(ports);

    TSearchOptions options;
    options.Screen = FPortScreen;
    options.Trace = FTrace;
    options.MakePort = [this] { return MakePort(); };
    options.OnOpened = [this](const std::string& port) {
        ShowStatus("Try to connect by : " + port);
        FView.RepaintStatus();
    };
    // Said for the first programmer in the list, the one the scan keeps.
    bool identifying = false;
    options.OnAnswered = [this, &identifying](const std::string&) {
        if (std::exchange(identifying, true)) return;
        ShowStatus("Identify target chip ...");
        FView.RepaintStatus();
    };
    TSearchResult result = FindProgrammers(ports, options, FStop);
    FPortChecks = std::move(result.Checks);
    const bool found = !result.Programmers.empty();
    if (found) {
        // The first in the list is the programmer; the others are let go.
        FComPort = std::move(result.Programmers.front().ComPort);
        for (std::size_t i = 1; i < result.Programmers.size(); ++i) {
            ClosePortQuietly(*result.Programmers[i].ComPort, FTrace.get());
        }
        SetChipKind(result.Programmers.front().ChipKind);
    }
    ShowStatus(result.Opened ? "" : "Available port not found!");
    UpdatePortNotice(found);
}

void TProgrammerLink::FinishPassLeftOpen(std::vector<std::string>& ports) {
    if (FPass == TPass::None) return;
    const auto at = std::find(ports.begin(), ports.end(), FBoardPort);
    if (at == ports.end()) return;
    if (CheckPorts({FBoardPort}, FPortScreen).front().Verdict == TPortVerdict::Scan) {
        try {
            FComPort->SetPort(FBoardPort);
            FComPort->OpenPort();
            if (FTrace) FTrace->Note("open " + FComPort->Port());
            PurgePort();
            SettleBoard();
        } catch (const std::exception& e) {
            if (FTrace) FTrace->Note(FBoardPort + ": " + e.what());
        }
        DropPort();
    }
    if (FPass != TPass::None) ports.erase(at);
}

void TProgrammerLink::UpdatePortNotice(bool programmerFound) {
    std::string notice = programmerFound ? std::string() : PermissionAdvice(FPortChecks);
    if (notice == FPortNotice) return;
    FPortNotice = std::move(notice);
    FView.ShowPortNotice(FPortNotice);
}

void TProgrammerLink::DropPort() {
    ClosePortQuietly(*FComPort, FTrace.get());
}

bool TProgrammerLink::Greet(std::stop_token stop, const std::function<void()>& answered) {
    TCommand command(*this, std::move(stop));
    TIdleGuard idle(*this);
    PurgePort();
    std::string greeting;
    Exchange('\r', kPrompt, greeting, 500);
    if (!Contains(greeting, kKeyword)) return false;
    if (answered) answered();
    IdentifyChip(greeting);
    return !StopRequested();
}

void TProgrammerLink::IdentifyChip(const std::string& greeting) {
    TIdleGuard idle(*this);
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
    TIdleGuard idle(*this);
    if (Stopping()) return false;
    // Once begun, the count is entered to its end: the board is inside the
    // entry until LF.
    TNoStop whole(*this);
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
    TIdleGuard idle(*this);
    SettleBoard();
    PurgePort();
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
            if (Stopping()) return false;
            ShowStatus(Format("Erasing...[%u/10]", static_cast<unsigned>(k)));
            FView.RepaintStatus();
            Exchange('e', kPrompt, reply, 5000);
            if (ReadChip(size) && AllErased(FReadImage, FReadImage.MemSize())) return true;
        }
        return false;
    }
    for (int k = 1; k <= kEraseAttempts; ++k) {
        if (Stopping()) return false;
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
    TIdleGuard idle(*this);
    FView.SetProgressRange(0, count - 1);
    std::string reply;
    {
        TNoStop echo(*this);
        Exchange('w', 'w', reply, 1000);
    }
    // The board that took 'w' now expects count bytes, echo or not.
    OpenPass(TPass::Write, count);
    // On a fast line the first XON comes in with the echo and has been read
    // already; it is the first byte's XON.
    std::size_t echo = reply.find('w');
    FPassReady = echo != std::string::npos && reply.find(kXon, echo + 1) != std::string::npos;

    std::uint32_t done = 0;
    if (!reply.empty()) {
        int strayBudget = 0;
        for (std::uint32_t i = 0; i < count && !Stopping(); ++i) {
            const auto address = static_cast<std::uint16_t>(i);
            if (!SendPassByte(FSourceImage.GetByte(address), THandshake::Strict, strayBudget)) {
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
        FinishWritePass();
        return false;
    }
    FPass = TPass::None;
    Exchange(kNoCommand, kPrompt, reply, 1000);
    return true;
}

bool TProgrammerLink::ReadChip(std::uint16_t count) {
    TIdleGuard idle(*this);
    FView.SetProgressRange(0, count - 1);
    SettleBoard();
    SendByte('r');
    OpenPass(TPass::Read, count);
    Pause(FCommandPause);

    std::uint32_t stored = 0;
    std::uint8_t echo = 0;
    if (Stopping()) {
        // Stopped before the dump was looked at: it is only drained.
    } else if (!ReadOneByte(echo) || echo != 'r') {
        // The box shows the offending character alone (NUL when none came).
        if (!Stopping() && (!FOneEchoBox || !FEchoBoxShown)) {
            FEchoBoxShown = true;
            FView.ShowMessage(std::string(1, static_cast<char>(echo)));
        }
    } else {
        for (std::uint32_t i = 0; i < count && !Stopping(); ++i) {
            std::uint8_t high = 0;
            std::uint8_t low = 0;
            if (!ReadOneByte(high) || !ReadOneByte(low)) break;
            int h = HexDigit(high);
            int l = HexDigit(low);
            if (h < 0 || l < 0) break;
            FReadImage.SetByte(static_cast<std::uint16_t>(i),
                               static_cast<std::uint8_t>(h * 16 + l));
            ++stored;
            --FPassExpected;
            FView.SetProgressPosition(static_cast<int>(i));
            FView.PassProgress(static_cast<int>(stored), count);
            FView.RepaintWindow();
        }
    }
    FView.SetProgressPosition(0);
    // Up to the prompt, after a failure or a stop too: a board that is still
    // dumping is read to its end.
    DrainReadPass();
    return stored == count;
}

bool TProgrammerLink::VerifyChip(std::uint16_t count) {
    TIdleGuard idle(*this);
    if (!ReadChip(count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto address = static_cast<std::uint16_t>(i);
        if (FSourceImage.GetByte(address) != FReadImage.GetByte(address)) return false;
    }
    return true;
}

bool TProgrammerLink::FastVerifyChip(std::uint16_t count) {
    TIdleGuard idle(*this);
    SettleBoard();
    PurgePort();
    Pause(FCommandPause);
    if (Stopping()) return false;
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
    TIdleGuard idle(*this);
    std::string reply;
    Exchange('l', kPrompt, reply, 500);
    if (Stopping()) return false;
    if (reply.empty()) {
        ShowStatus("Lock Failed!");
        return false;
    }
    if (!ReadChip(count)) {
        if (!Stopping()) ShowStatus("Lock Failed!");
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

void TProgrammerLink::EndWorkflow(const char* failureText) {
    SettleBoard();
    ShowStatus(StopRequested() ? kStopped : failureText);
}

THexFile TProgrammerLink::LoadAtChipSize(const std::string& fileName) const {
    THexFile image;
    image.SetMemSize(FSourceImage.MemSize());
    image.LoadHex(fileName);
    return image;
}

void TProgrammerLink::TakeSourceImage(const THexFile& image) {
    THexFile fitted;
    fitted.SetMemSize(FSourceImage.MemSize());
    fitted.Clear();
    const auto& data = image.Data();
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != 0xFF) fitted.SetByte(static_cast<std::uint16_t>(i), data[i]);
    }
    FSourceImage = std::move(fitted);
}

void TProgrammerLink::ProgramFromFile(const std::string& fileName, std::stop_token stop) {
    TCommand command(*this, stop);
    TIdleGuard idle(*this);
    ProgramFromImage(LoadAtChipSize(fileName), std::move(stop));
}

void TProgrammerLink::ProgramFromImage(const THexFile& image, std::stop_token stop) {
    TCommand command(*this, std::move(stop));
    TIdleGuard idle(*this);
    // A file that does not fit the chip raises here, before the chip is touched.
    TakeSourceImage(image);
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
    if (!EraseChip() || StopRequested()) return EndWorkflow("Erase Failed!");
    ShowStatus("Initial for Writing");
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed!");
    ShowStatus(Format("Writing... [%u Bytes]", count));
    FView.RepaintStatus();
    if (!WriteChip(count) || StopRequested()) return EndWorkflow("Write Failed!");
    // Only kinds 1 to 6 have the programmer's checksum.
    if (FChipKind != ck89C2051 && FView.FastVerifyEnabled() && FView.FastVerifyChecked()) {
        ShowStatus("Fast Verify...");
        FView.RepaintWindow();
        if (!FastVerifyChip(count) || StopRequested()) return EndWorkflow("Fast Verify Failed!");
    } else {
        ShowStatus("Verify...");
        FView.RepaintWindow();
        if (!VerifyChip(count) || StopRequested()) return EndWorkflow("Verify Failed!");
    }
    if (FView.LockChecked()) {
        ShowStatus("Verify Locked code");
        if (!LockChip(count) || StopRequested()) return EndWorkflow("Lock Failed!");
    }
    ShowStatus("Complete!");
    FView.SetProgressPosition(0);
}

void TProgrammerLink::ReadToFile(const std::string& fileName, std::stop_token stop) {
    TCommand command(*this, std::move(stop));
    TIdleGuard idle(*this);
    const std::uint16_t count =
        FChipKind == ck89C2051 ? MemSizeForIndex(FView.MemSizeIndex()) : FReadImage.MemSize();
    FReadImage.Clear();

    WaitCursor cursor(FView);
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed");
    ShowStatus("Reading...");
    FView.RepaintWindow();
    // A stopped read saves nothing: an existing file stays as it was.
    if (!ReadChip(count) || StopRequested()) return EndWorkflow("Read Failed!");
    FReadImage.SaveHex(fileName);
    FView.SetProgressPosition(0);
    ShowStatus("Complete!");
}

std::uint16_t TProgrammerLink::WholeChipCount() const {
    return FChipKind == ck89C2051 ? MemSizeForIndex(FView.MemSizeIndex()) : FReadImage.MemSize();
}

void TProgrammerLink::VerifyWithFile(const std::string& fileName, std::stop_token stop) {
    TCommand command(*this, stop);
    TIdleGuard idle(*this);
    FCheckedCount = 0;
    VerifyWithImage(LoadAtChipSize(fileName), std::move(stop));
}

void TProgrammerLink::VerifyWithImage(const THexFile& image, std::stop_token stop) {
    TCommand command(*this, std::move(stop));
    TIdleGuard idle(*this);
    FCheckedCount = 0;
    // A file that does not fit the chip raises here, before anything is sent.
    TakeSourceImage(image);
    const int last = LastDataIndex(FSourceImage);
    if (last < 0) {
        ShowStatus("No data to verify!");
        return;
    }
    const auto count = static_cast<std::uint16_t>(last + 1);
    FReadImage.Clear();

    WaitCursor cursor(FView);
    ShowStatus("Verify...");
    FView.RepaintWindow();
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed!");
    if (!ReadChip(count) || StopRequested()) return EndWorkflow("Read Failed!");
    FCheckedCount = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto address = static_cast<std::uint16_t>(i);
        if (FSourceImage.GetByte(address) != FReadImage.GetByte(address)) {
            ShowStatus("Verify Failed!");
            return;
        }
    }
    ShowStatus("Complete!");
}

void TProgrammerLink::EraseOnly(std::stop_token stop) {
    TCommand command(*this, std::move(stop));
    TIdleGuard idle(*this);
    WaitCursor cursor(FView);
    ShowStatus("Erasing...");
    if (!EraseChip() || StopRequested()) return EndWorkflow("Erase Failed!");
    FView.SetProgressPosition(0);
    ShowStatus("Complete!");
}

void TProgrammerLink::BlankCheck(std::stop_token stop) {
    TCommand command(*this, std::move(stop));
    TIdleGuard idle(*this);
    FCheckedCount = 0;
    const std::uint16_t count = WholeChipCount();
    FReadImage.Clear();

    WaitCursor cursor(FView);
    ShowStatus("Blank Check...");
    FView.RepaintWindow();
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed!");
    if (!ReadChip(count) || StopRequested()) return EndWorkflow("Read Failed!");
    FCheckedCount = count;
    ShowStatus(AllErased(FReadImage, count) ? "Complete!" : "Not Blank!");
}

}  // namespace corvane
