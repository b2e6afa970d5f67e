#include "VirtualProgrammer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <system_error>
#include <utility>

#include "DeviceMap.h"

namespace corvane::sim {

namespace {

[[noreturn]] void ThrowErrno(int err, const char* what) {
    throw std::system_error(err, std::generic_category(), what);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Chip ChipFromCode(std::string_view code) {
    struct Known {
        std::string_view code;
        std::uint16_t size;
    };
    static constexpr Known kKnown[] = {{"51", 4096}, {"61", 4096},  {"52", 8192},
                                       {"62", 8192}, {"55", 20480}, {"65", 20480}};
    for (const auto& k : kKnown) {
        if (k.code == code) return Chip{std::string(code), k.size, false};
    }
    return Chip{std::string(code), 0, false};
}

Chip Chip2051(std::uint16_t size) {
    return Chip{size > 2048 ? "41" : "21", size, true};
}

std::optional<Chip> ParseChip(std::string_view text) {
    if (text == "2051") return Chip2051(2048);
    if (text == "4051") return Chip2051(4096);
    if (text.size() == 2) return ChipFromCode(text);
    return std::nullopt;
}

std::chrono::nanoseconds CharacterTime(unsigned baud) {
    if (baud == 0) return std::chrono::nanoseconds{0};
    return std::chrono::nanoseconds{10'000'000'000LL / baud};
}

VirtualProgrammer::VirtualProgrammer(BoardOptions options)
    : FOptions(std::move(options)),
      FDialect(FOptions.dialect ? *FOptions.dialect : DrawDialect(DefaultDialectSeed())),
      FSocketKind(FOptions.chip.size > 0 ? FOptions.chip : ChipFromCode("51")),
      FLineRandom(static_cast<std::uint32_t>(FDialect.seed)) {
    FFlash.assign(FOptions.chip.size, 0xFF);
    std::copy_n(FOptions.flash.begin(), std::min(FOptions.flash.size(), FFlash.size()),
                FFlash.begin());
    FLocked = FOptions.locked && !FFlash.empty();
}

VirtualProgrammer::~VirtualProgrammer() {
    Stop();
}

// ---- lifetime and the line ----------------------------------------------

void VirtualProgrammer::Start() {
    std::lock_guard lock(FMutex);
    if (FServing) return;
    if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno(errno, "pipe2");
    try {
        OpenLine();
    } catch (...) {
        CloseFd(FWake[0]);
        CloseFd(FWake[1]);
        throw;
    }
    FStop = false;
    FUnplugRequest = false;
    FInterrupt = false;
    FServing = true;
    FThread = std::thread([this] { Serve(); });
}

void VirtualProgrammer::Stop() {
    {
        std::lock_guard lock(FMutex);
        if (!FServing) return;
        FServing = false;
        FStop = true;
        FInterrupt = true;
    }
    Wake();
    FChanged.notify_all();
    FThread.join();
    std::lock_guard lock(FMutex);
    CloseLine();
    CloseFd(FWake[0]);
    CloseFd(FWake[1]);
    FChanged.notify_all();
}

bool VirtualProgrammer::Running() const {
    std::lock_guard lock(FMutex);
    return FServing;
}

void VirtualProgrammer::OpenLine() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) ThrowErrno(errno, "posix_openpt");
    char name[128];
    termios tio{};
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0 || tcgetattr(master, &tio) != 0) {
        int err = errno;
        ::close(master);
        ThrowErrno(err, "pseudo-terminal");
    }
    // Raw both ways, so the host's bytes reach the board unchanged and back.
    cfmakeraw(&tio);
    if (tcsetattr(master, TCSANOW, &tio) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        int err = errno;
        ::close(master);
        ThrowErrno(err, "pseudo-terminal");
    }
    // Without any slave descriptor the master reports a hang-up all the time;
    // this plain one (no TIOCEXCL, no flock) leaves the host's exclusive open free.
    int hold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (hold < 0) {
        int err = errno;
        ::close(master);
        ThrowErrno(err, name);
    }
    FMaster = master;
    FSlaveHold = hold;
    FPortPath = name;
    FReceived = 0;
    FSent = 0;
    if (!FMapName.empty()) {
        if (int rc = device::AnnouncePort(FMapDir, FMapName, FPortPath)) {
            CloseLine();
            ThrowErrno(rc, "announce");
        }
    }
}

void VirtualProgrammer::CloseLine() {
    if (FMaster < 0) return;
    if (!FMapName.empty()) device::WithdrawPort(FMapDir, FMapName);
    CloseFd(FMaster);
    CloseFd(FSlaveHold);
    FLastPortPath = std::move(FPortPath);
    FPortPath.clear();
}

void VirtualProgrammer::Wake() {
    if (FWake[1] >= 0) {
        [[maybe_unused]] ssize_t n = ::write(FWake[1], "x", 1);
    }
}

std::string VirtualProgrammer::PortPath() const {
    std::lock_guard lock(FMutex);
    return FPortPath;
}

void VirtualProgrammer::Announce(const std::string& dir, const std::string& name) {
    std::lock_guard lock(FMutex);
    if (FMaster >= 0) {
        if (int rc = device::AnnouncePort(dir, name, FPortPath)) ThrowErrno(rc, "announce");
        if (!FMapName.empty() && (FMapDir != dir || FMapName != name)) {
            device::WithdrawPort(FMapDir, FMapName);
        }
    }
    FMapDir = dir;
    FMapName = name;
}

void VirtualProgrammer::Withdraw() {
    std::lock_guard lock(FMutex);
    if (!FMapName.empty() && FMaster >= 0) device::WithdrawPort(FMapDir, FMapName);
    FMapDir.clear();
    FMapName.clear();
}

std::string VirtualProgrammer::MapEntry() const {
    std::lock_guard lock(FMutex);
    return FMapName.empty() ? std::string() : FMapDir + "/" + FMapName;
}

void VirtualProgrammer::Unplug() {
    std::unique_lock lock(FMutex);
    if (FMaster < 0) return;
    if (!FServing) {
        CloseLine();
        return;
    }
    FUnplugRequest = true;
    FInterrupt = true;
    Wake();
    FChanged.wait(lock, [this] { return FMaster < 0 || FStop; });
}

void VirtualProgrammer::Plug(bool elsewhere) {
    std::lock_guard lock(FMutex);
    if (FMaster >= 0 || !FServing) return;
    // The system gives the lowest free name: the free names up to the last
    // one are held while the line opens.
    std::vector<int> held;
    struct Release {
        std::vector<int>& fds;
        ~Release() {
            for (int fd : fds) ::close(fd);
        }
    } release{held};
    const auto number = [](const std::string& path) {
        return std::atoi(path.c_str() + path.rfind('/') + 1);
    };
    for (char name[128]; elsewhere && held.size() < 16;) {
        const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) break;
        held.push_back(fd);
        if (ptsname_r(fd, name, sizeof name) != 0 || number(name) >= number(FLastPortPath)) break;
    }
    OpenLine();
    FChanged.notify_all();
}

bool VirtualProgrammer::Plugged() const {
    std::lock_guard lock(FMutex);
    return FMaster >= 0;
}

bool VirtualProgrammer::WaitUnplugged(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [this] { return FMaster < 0; });
}

// ---- state --------------------------------------------------------------

void VirtualProgrammer::InsertChip(const Chip& chip, std::vector<std::uint8_t> flash) {
    std::lock_guard lock(FMutex);
    PutInSocket(chip, flash, std::nullopt);
}

void VirtualProgrammer::PutInSocket(const Chip& chip, const std::vector<std::uint8_t>& flash,
                                    std::optional<std::uint32_t> stuckCell) {
    FOptions.chip = chip;
    FFlash.assign(chip.size, 0xFF);
    std::copy_n(flash.begin(), std::min(flash.size(), FFlash.size()), FFlash.begin());
    FLocked = false;
    ++FSeating;
    FStuckCell = stuckCell;
    FWritePasses = 0;
}

SocketView VirtualProgrammer::RemoveChip() {
    Chip empty = ChipFromCode("00");
    empty.family2051 = FSocketKind.family2051;
    std::lock_guard lock(FMutex);
    SocketView out{FSeating, FOptions.chip.size > 0, FFlash, FWritePasses};
    PutInSocket(empty, {}, std::nullopt);
    return out;
}

void VirtualProgrammer::SeatChip(std::optional<std::uint32_t> stuckCell) {
    std::lock_guard lock(FMutex);
    PutInSocket(FSocketKind, {}, stuckCell);
}

SocketView VirtualProgrammer::Socket() const {
    std::lock_guard lock(FMutex);
    return {FSeating, FOptions.chip.size > 0, FFlash, FWritePasses};
}

bool VirtualProgrammer::InWritePass() const {
    std::lock_guard lock(FMutex);
    return FInWritePass;
}

bool VirtualProgrammer::ChipSeated() const {
    std::lock_guard lock(FMutex);
    return FOptions.chip.size > 0;
}

Chip VirtualProgrammer::CurrentChip() const {
    std::lock_guard lock(FMutex);
    return FOptions.chip;
}

void VirtualProgrammer::SetFaults(const Faults& faults) {
    std::lock_guard lock(FMutex);
    FOptions.faults = faults;
    ++FFaultsVersion;
}

void VirtualProgrammer::SetLatency(std::chrono::milliseconds latency) {
    std::lock_guard lock(FMutex);
    FOptions.latency = latency;
}

Faults VirtualProgrammer::CurrentFaults() const {
    std::lock_guard lock(FMutex);
    return FOptions.faults;
}

std::vector<std::uint8_t> VirtualProgrammer::Flash() const {
    std::lock_guard lock(FMutex);
    return FFlash;
}

bool VirtualProgrammer::Locked() const {
    std::lock_guard lock(FMutex);
    return FLocked;
}

std::uint32_t VirtualProgrammer::Counter() const {
    std::lock_guard lock(FMutex);
    return FCounter;
}

std::uint32_t VirtualProgrammer::PassBytesTaken() const {
    std::lock_guard lock(FMutex);
    return FPassTaken;
}

std::vector<std::string> VirtualProgrammer::CommandLog() const {
    std::lock_guard lock(FMutex);
    return FLog;
}

void VirtualProgrammer::ClearCommandLog() {
    std::lock_guard lock(FMutex);
    FLog.clear();
}

bool VirtualProgrammer::WaitForCommands(std::size_t entries,
                                        std::chrono::milliseconds timeout) const {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [&] { return FLog.size() >= entries; });
}

std::uint64_t VirtualProgrammer::BytesReceived() const {
    std::lock_guard lock(FMutex);
    return FReceived;
}

std::uint64_t VirtualProgrammer::BytesSent() const {
    std::lock_guard lock(FMutex);
    return FSent;
}

void VirtualProgrammer::Log(std::string entry) {
    {
        std::lock_guard lock(FMutex);
        FLog.push_back(std::move(entry));
    }
    FChanged.notify_all();
}

// ---- the serving thread -------------------------------------------------

void VirtualProgrammer::Serve() {
    // The line's pacing sleeps to the character; the default timer slack
    // (50 us) would wake it late for every character it sends.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock lock(FMutex);
    while (!FStop) {
        if (FMaster < 0) {
            FChanged.wait(lock, [this] { return FStop || FMaster >= 0; });
            continue;
        }
        const int master = FMaster;
        lock.unlock();
        ServeLine(master);
        lock.lock();
        if (FStop) break;
        // The line went away (unplugged, the fault, or an error of the pty).
        CloseLine();
        FUnplugRequest = false;
        FInterrupt = false;
        char drain[64];
        while (::read(FWake[0], drain, sizeof drain) > 0) {
        }
        FChanged.notify_all();
    }
}

void VirtualProgrammer::ServeLine(int master) {
    FInput.clear();
    FInputPos = 0;
    FPending.reset();
    FChunkTime = FRxFree = FTxFree = FBoardTime = Clock::time_point{};
    FFloodPos = 0;
    FServedMaster = master;
    FHeld.clear();
    try {
        for (;;) {
            std::uint8_t c;
            if (FPending) {
                c = *FPending;
                FPending.reset();
            } else {
                c = Get(master);
            }
            Command(master, c);
        }
    } catch (const LineClosed&) {
    }
}

std::uint8_t VirtualProgrammer::Get(int master, std::optional<Clock::time_point> deadline) {
    auto lineGone = [this] {
        std::lock_guard lock(FMutex);
        const auto& after = FOptions.faults.lineGoneAfter;
        return after && FReceived >= *after;
    };
    if (lineGone()) throw LineClosed{};
    const auto t = CharacterTime(FOptions.baud);
    while (FInputPos >= FInput.size()) {
        std::string flood;
        {
            std::lock_guard lock(FMutex);
            if (FOptions.faults.flood) flood = *FOptions.faults.flood;
        }
        short events = POLLIN;
        int timeout = -1;
        if (!flood.empty()) {
            const auto now = Clock::now();
            if (t.count() == 0 || FTxFree <= now) {
                events |= POLLOUT;
            } else {
                timeout = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(FTxFree - now).count());
            }
        }
        FlushHeldIfDue();
        if (!FHeld.empty()) {
            const int held = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(FHeldUntil - Clock::now()).count());
            timeout = timeout < 0 ? std::max(held, 0) : std::min(timeout, std::max(held, 0));
        }
        if (deadline) {
            const auto now = Clock::now();
            if (now >= *deadline) throw TimedOut{};
            const auto left = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count());
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        pollfd fds[2] = {{master, events, 0}, {FWake[0], POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            throw LineClosed{};
        }
        if (fds[1].revents != 0) {
            char drain[64];
            while (::read(FWake[0], drain, sizeof drain) > 0) {
            }
            if (FInterrupt) throw LineClosed{};
        }
        if ((fds[0].revents & POLLOUT) != 0) FloodSome(master, flood);
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buf[256];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) throw LineClosed{};
        FInput.assign(buf, static_cast<std::size_t>(n));
        FInputPos = 0;
        FChunkTime = Clock::now();
    }
    const auto c = static_cast<std::uint8_t>(FInput[FInputPos++]);
    if (t.count() > 0) {
        // A character is there one character time after the line was free
        // (or after it was seen, when the line was idle).
        FRxFree = std::max(FRxFree, FChunkTime) + t;
        SleepUntil(FRxFree);
        // The board acts on it from then on, however late this thread woke.
        FBoardTime = std::max(FBoardTime, FRxFree);
    }
    {
        std::lock_guard lock(FMutex);
        ++FReceived;
    }
    if (lineGone()) throw LineClosed{};
    return c;
}

void VirtualProgrammer::Put(int master, std::string_view bytes) {
    if (bytes.empty()) return;
    std::optional<LineNoise> noise;
    std::optional<std::chrono::milliseconds> split;
    std::uint64_t version = 0;
    std::chrono::milliseconds latency;
    {
        std::lock_guard lock(FMutex);
        noise = FOptions.faults.noise;
        split = FOptions.faults.splitReplies;
        version = FFaultsVersion;
        latency = FOptions.latency;
    }
    std::string noisy;
    if (noise) {
        if (version != FNoiseVersion) {
            FNoiseRandom.seed(noise->seed);
            FNoiseVersion = version;
        }
        noisy = AddNoise(*noise, bytes);
        bytes = noisy;
    }

    const auto t = CharacterTime(FOptions.baud);
    // A reply goes out once the line is free and the board has what it
    // answers (the command's arrival, or the end of a delay of its own), as
    // from a UART; its characters follow each other without a gap. These
    // are absolute deadlines, so the lateness of one wake-up of this thread
    // is not carried on to the next character.
    if (t.count() > 0) FTxFree = std::max(FTxFree, FBoardTime);
    // A board that sends in bursts: the reply broken at a few places, a
    // moment between the pieces.
    std::vector<std::size_t> breaks;
    for (unsigned i = 1; i < FDialect.bursts && bytes.size() > 1; ++i) {
        breaks.push_back(1 + FLineRandom() % (bytes.size() - 1));
    }
    std::sort(breaks.begin(), breaks.end(), std::greater<>());
    std::size_t sent = 0;
    bool pause = false;
    const auto advance = [&](std::size_t n) {
        bytes.remove_prefix(n);
        sent += n;
        pause = !breaks.empty() && sent == breaks.back();
    };
    while (!bytes.empty()) {
        while (!breaks.empty() && breaks.back() <= sent) breaks.pop_back();
        std::size_t chunk = breaks.empty() ? bytes.size() : breaks.back() - sent;
        if (std::exchange(pause, false)) {
            SleepUntil(Clock::now() + std::chrono::microseconds(500 + FLineRandom() % 2500));
            if (t.count() > 0) FTxFree = std::max(FTxFree, Clock::now());
        }
        if (split) {
            SleepUntil(Clock::now() + *split);
            if (t.count() > 0) FTxFree = std::max(FTxFree, Clock::now());
            chunk = 1;
        }
        if (t.count() > 0) {
            FTxFree += t;
            SleepUntil(FTxFree);
            chunk = 1;
        }
        if (latency.count() > 0) {
            Hold(master, bytes.substr(0, chunk), latency);
            advance(chunk);
            continue;
        }
        for (;;) {
            const std::size_t n = WriteSome(master, bytes.substr(0, chunk));
            if (n > 0) {
                advance(n);
                break;
            }
            // The host does not read: wait until it does, or until told to stop.
            pollfd fds[2] = {{master, POLLOUT, 0}, {FWake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) throw LineClosed{};
            if (FInterrupt) throw LineClosed{};
            // Held up by the host: the line goes on from now, not faster.
            if (t.count() > 0) FTxFree = std::max(FTxFree, Clock::now());
        }
    }
}

std::size_t VirtualProgrammer::WriteSome(int master, std::string_view bytes) {
    std::size_t n = bytes.size();
    std::optional<std::uint64_t> limit;
    ssize_t written = 0;
    int err = 0;
    bool gone = false;
    {
        // The count moves with the write (the master never blocks), so a host
        // that has read a byte always finds it counted.
        std::lock_guard lock(FMutex);
        limit = FOptions.faults.lineGoneAfterSent;
        if (limit) {
            if (FSent >= *limit) throw LineClosed{};
            n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *limit - FSent));
        }
        written = ::write(master, bytes.data(), n);
        err = errno;
        if (written > 0) FSent += static_cast<std::uint64_t>(written);
        gone = limit && FSent >= *limit;
    }
    if (written < 0) {
        if (err == EAGAIN || err == EINTR) return 0;
        throw LineClosed{};
    }
    if (gone) throw LineClosed{};
    return static_cast<std::size_t>(written);
}

std::string VirtualProgrammer::AddNoise(const LineNoise& noise, std::string_view bytes) {
    auto draw = [&] {
        const auto r = FNoiseRandom();
        if (noise.alphabet.empty()) return static_cast<char>(r & 0xFF);
        return noise.alphabet[r % noise.alphabet.size()];
    };
    std::string out;
    out.reserve(noise.before + bytes.size() * 2);
    for (std::size_t i = 0; i < noise.before; ++i) out += draw();
    for (char b : bytes) {
        if (noise.insidePerMille > 0 && FNoiseRandom() % 1000 < noise.insidePerMille) out += draw();
        out += b;
    }
    return out;
}

void VirtualProgrammer::FloodSome(int master, const std::string& text) {
    const auto t = CharacterTime(FOptions.baud);
    const std::size_t want = t.count() > 0 ? 1 : 256;
    std::string piece;
    piece.reserve(want);
    for (std::size_t i = 0; i < want; ++i) piece += text[(FFloodPos + i) % text.size()];
    const std::size_t n = WriteSome(master, piece);
    FFloodPos = (FFloodPos + n) % text.size();
    if (t.count() > 0 && n > 0) FTxFree = std::max(FTxFree, Clock::now()) + t;
}

void VirtualProgrammer::Delay(Clock::duration delay) {
    // Paced, the delay runs from when the board was done with the line (the
    // command's arrival or the end of its reply); unpaced, from now.
    const Clock::time_point start =
        CharacterTime(FOptions.baud).count() > 0 ? std::max(FBoardTime, FTxFree) : Clock::now();
    FBoardTime = start + delay;
    SleepUntil(FBoardTime);
}

void VirtualProgrammer::Hold(int master, std::string_view bytes,
                             std::chrono::milliseconds latency) {
    if (FHeld.empty()) FHeldUntil = Clock::now() + latency;
    FHeld.append(bytes);
    if (FHeld.size() >= kAdapterPacket) FlushHeld(master);
}

void VirtualProgrammer::FlushHeld(int master) {
    std::string_view bytes = FHeld;
    while (!bytes.empty()) {
        const std::size_t n = WriteSome(master, bytes);
        if (n > 0) {
            bytes.remove_prefix(n);
            continue;
        }
        pollfd fds[2] = {{master, POLLOUT, 0}, {FWake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) throw LineClosed{};
        if (FInterrupt) throw LineClosed{};
    }
    FHeld.clear();
}

void VirtualProgrammer::FlushHeldIfDue() {
    if (!FHeld.empty() && Clock::now() >= FHeldUntil) FlushHeld(FServedMaster);
}

void VirtualProgrammer::SleepUntil(Clock::time_point deadline) {
    // Slices of at most 10 ms, so that Stop() and Unplug() are not held up.
    for (;;) {
        if (FInterrupt) throw LineClosed{};
        FlushHeldIfDue();
        const auto now = Clock::now();
        if (now >= deadline) return;
        auto until = std::min(deadline, now + std::chrono::milliseconds(10));
        if (!FHeld.empty()) until = std::min(until, FHeldUntil);
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        // steady_clock is CLOCK_MONOTONIC here.
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

// ---- the firmware -------------------------------------------------------

void VirtualProgrammer::Command(int master, std::uint8_t c) {
    static constexpr std::string_view kCommands = "\rpeswrcl";
    std::unique_lock lock(FMutex);
    if (FOptions.faults.echoAll) {
        lock.unlock();
        Put(master, std::string_view(reinterpret_cast<const char*>(&c), 1));
        return;
    }
    if (c == 0 || kCommands.find(static_cast<char>(c)) == std::string_view::npos) return;
    const Faults faults = FOptions.faults;
    const Chip chip = FOptions.chip;
    if (faults.silent || (c == 'p' && faults.noAnswerToP)) {
        lock.unlock();
        Log(std::string(1, static_cast<char>(c)));
        return;
    }
    if (c == 's') {
        lock.unlock();
        CounterEntry(master);
        return;
    }
    lock.unlock();
    Log(std::string(1, static_cast<char>(c)));

    switch (c) {
        case '\r':
            Put(master, faults.noiseBeforeGreeting);
            if (faults.greeting) {
                Put(master, *faults.greeting);
            } else {
                Reply(master, FDialect.Greeting(chip.family2051), Dialect::kGreeting);
            }
            break;
        case 'p': {
            lock.lock();
            const bool blank =
                !FFlash.empty() && !FLocked &&
                std::all_of(FFlash.begin(), FFlash.end(), [](std::uint8_t b) { return b == 0xFF; });
            lock.unlock();
            Reply(master, FDialect.ChipText(chip.code, blank), Dialect::kChip);
            break;
        }
        case 'e': {
            if (chip.size == 0) {
                Reply(master, FDialect.noChip, Dialect::kErase);
                break;
            }
            Delay(FOptions.eraseDelay);
            lock.lock();
            bool ok = true;
            if (FOptions.faults.eraseFailures > 0) {
                --FOptions.faults.eraseFailures;
                ok = false;
            } else {
                std::fill(FFlash.begin(), FFlash.end(), 0xFF);
                FLocked = false;
            }
            lock.unlock();
            Reply(master, ok || faults.eraseFailureSaysOk ? FDialect.eraseOk : FDialect.eraseFailed,
                  Dialect::kErase);
            break;
        }
        case 'w':
            WritePass(master);
            break;
        case 'r': {
            std::string dump(1,
                             faults.wrongReadEcho ? static_cast<char>(*faults.wrongReadEcho) : 'r');
            lock.lock();
            const std::uint32_t count = FCounter;
            dump.reserve(2 * count + 2);
            for (std::uint32_t i = 0; i < count; ++i) {
                dump += FDialect.Hex2(!FLocked && i < FFlash.size() ? FFlash[i] : 0xFF);
            }
            lock.unlock();
            dump += Ending(faults.promptForm, Dialect::kDump);
            Put(master, OnTheLine(std::move(dump)));
            break;
        }
        case 'c': {
            lock.lock();
            std::uint16_t sum = 0;
            for (std::uint32_t i = 0; i < FCounter; ++i) {
                sum = static_cast<std::uint16_t>(
                    sum + (!FLocked && i < FFlash.size() ? FFlash[i] : 0xFF));
            }
            lock.unlock();
            Reply(master, FDialect.SumText(static_cast<std::uint16_t>(0x10000 - sum)),
                  Dialect::kSum);
            break;
        }
        case 'l':
            if (chip.size == 0) {
                Reply(master, FDialect.noChip, Dialect::kLock);
                break;
            }
            lock.lock();
            FLocked = true;
            lock.unlock();
            Reply(master, FDialect.lockOk, Dialect::kLock);
            break;
    }
}

void VirtualProgrammer::CounterEntry(int master) {
    std::string entry = "s";
    std::uint64_t value = 0;
    // Some boards echo each character of the entry before its XON.
    const auto ready = [&](char c) {
        Put(master, FDialect.echoCount ? std::string{c, '\x11'} : std::string("\x11"));
    };
    ready('s');
    for (;;) {
        const std::uint8_t c = Get(master);
        if (c >= '0' && c <= '9') {
            entry += static_cast<char>(c);
            value = std::min<std::uint64_t>(value * 10 + (c - '0'), 1'000'000);
            ready(static_cast<char>(c));
            continue;
        }
        if (c != '\n') {
            // Anything else ends the entry unfinished and is a command of its own.
            Log(entry);
            FPending = c;
            return;
        }
        entry += '\n';
        bool ok;
        {
            std::lock_guard lock(FMutex);
            ok = value >= 1 && value <= FOptions.chip.size;
            if (ok) FCounter = static_cast<std::uint32_t>(value);
        }
        Log(entry);
        Reply(master, ok ? FDialect.countOk : FDialect.countBad, Dialect::kCount);
        return;
    }
}

void VirtualProgrammer::WritePass(int master) {
    std::unique_lock lock(FMutex);
    const std::uint32_t count = FCounter;
    FPassTaken = 0;
    ++FWritePasses;
    FInWritePass = true;
    const auto pause = FOptions.writePause;
    const auto passTimeout = FOptions.passTimeout;
    const Faults faults = FOptions.faults;
    // The glitches come once.
    FOptions.faults.xonGlitchAt = 0;
    FOptions.faults.xoffDropAt = 0;
    FOptions.faults.xonDropAt = 0;
    FOptions.faults.goneInPassAt = 0;
    lock.unlock();
    struct PassEnds {
        VirtualProgrammer& board;
        ~PassEnds() {
            std::lock_guard lock(board.FMutex);
            board.FInWritePass = false;
        }
    } passEnds{*this};
    // Byte i (from 0) is the one a fault names (from 1, or the last).
    const auto at = [count](std::uint32_t i, std::uint32_t n) {
        return n != 0 && (i + 1 == n || (n == kLastByte && i + 1 == count));
    };

    Put(master, FDialect.writeLead + "w");
    Delay(pause);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at(i, faults.xonGlitchAt)) {
            Put(master, std::string_view(reinterpret_cast<const char*>(&faults.xonGlitchByte), 1));
        } else if (!at(i, faults.xonDropAt)) {
            Put(master, std::string_view("\x11", 1));
        }
        std::uint8_t b = 0;
        try {
            std::optional<Clock::time_point> deadline;
            if (passTimeout) deadline = Clock::now() + *passTimeout;
            b = Get(master, deadline);
        } catch (const TimedOut&) {
            return;  // given up: back to waiting for commands
        }
        if (faults.wrongHandshakeAt != 0 && i + 1 == faults.wrongHandshakeAt) {
            Put(master,
                std::string_view(reinterpret_cast<const char*>(&faults.wrongHandshakeByte), 1));
            return;
        }
        lock.lock();
        // Flash only clears bits; a locked chip takes nothing, a stuck cell neither.
        if (!FLocked && i < FFlash.size() && i != FStuckCell) FFlash[i] &= b;
        ++FPassTaken;
        lock.unlock();
        if (at(i, faults.goneInPassAt)) throw LineClosed{};
        if (!at(i, faults.xoffDropAt)) Put(master, std::string_view("\x13", 1));
    }
    Put(master, Ending(faults.promptForm, Dialect::kPass));
}

void VirtualProgrammer::Reply(int master, std::string_view text, Dialect::End end) {
    std::chrono::milliseconds late{0};
    PromptForm form;
    {
        std::lock_guard lock(FMutex);
        auto& faults = FOptions.faults;
        form = faults.promptForm;
        if (faults.lostReplies > 0) {
            --faults.lostReplies;
            return;
        }
        if (faults.lateReplies > 0) {
            --faults.lateReplies;
            late = faults.lateBy;
        }
    }
    if (late.count() > 0) Delay(late);
    Put(master, OnTheLine(std::string(text) + Ending(form, end)));
}

std::string VirtualProgrammer::Ending(PromptForm form, Dialect::End end) const {
    switch (form) {
        case PromptForm::Usual:
            break;
        case PromptForm::Bare:
            return ">";
        case PromptForm::LineEnd:
            return "\r\n>";
        case PromptForm::Text:
            return "\r\nready >";
    }
    return FDialect.Ending(end);
}

std::string VirtualProgrammer::OnTheLine(std::string reply) {
    bool damage = false, cut = false;
    {
        std::lock_guard lock(FMutex);
        auto& faults = FOptions.faults;
        damage = faults.damagedReplies > 0;
        if (damage) --faults.damagedReplies;
        cut = faults.cutReplies > 0;
        if (cut) --faults.cutReplies;
    }
    if (damage && !reply.empty()) reply[FLineRandom() % reply.size()] ^= 1 << FLineRandom() % 8;
    if (cut && reply.size() > 1) reply.resize(1 + FLineRandom() % (reply.size() - 1));
    return reply;
}

}  // namespace corvane::sim
