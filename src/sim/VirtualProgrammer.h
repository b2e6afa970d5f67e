#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Dialect.h"

// The virtual programmer: a simulated programmer board at the far end of a
// pseudo-terminal. The board holds the master side; the host opens the slave
// path (PortPath()) as it would open a serial port.
//
// What the board answers, one command character at a time, in the usual
// dialect (Dialect.h: a board may word every reply otherwise):
//   CR   greeting: CR LF, a banner with "Yarv" (and "2051" on a board for the
//        2051 family), CR LF, '>'
//   'p'  'p', the two-character chip code, ',', status ('0' blank, '1' not),
//        " ok", CR LF, '>'
//   'e'  erase (all 0xFF, lock cleared) after the erase delay; a text with
//        "ok" and '>'
//   's'  XON; then each decimal digit answered by XON; LF ends the count:
//        "ok" and '>' when 1 <= count <= flash size, a text without "ok"
//        otherwise (the counter then keeps its old value)
//   'w'  echo 'w', a short pause, then per byte XON, take the byte, program it
//        (flash AND byte: programming only clears bits), XOFF; finally '>'.
//        Inside the pass every byte is data, CR and command letters too, and
//        the pass waits for its bytes for ever (unless passTimeout is set)
//   'r'  echo 'r', two upper-case hex digits per byte ("FF" when locked or
//        beyond the flash), '>'; the dump goes on whatever the host sends
//   'c'  a text with "= " and four hex digits: the 16-bit two's complement of
//        the sum of the first count bytes as 'r' gives them, CR LF, '>'
//   'l'  lock (read-back gives FF from then on; programming is ignored), a
//        text and '>'
//   Any other character is ignored.
// Faults (below) make it a board that fails, a noisy or hostile line, or a
// line that goes away.
namespace corvane::sim {

inline constexpr std::uint8_t kXon = 17;
inline constexpr std::uint8_t kXoff = 19;
// In place of a byte number of a write pass fault: the pass's last byte.
inline constexpr std::uint32_t kLastByte = 0xFFFFFFFF;

// How the board ends its replies in the prompt '>', in place of its dialect's
// own ends (the protocol only has the prompt at the end).
enum class PromptForm {
    Usual,    // the dialect's own ends
    Bare,     // the prompt right after the reply's text, everywhere
    LineEnd,  // CR LF and the prompt, everywhere
    Text,     // a line of text of its own before the prompt, everywhere
};

// The chip in the socket.
struct Chip {
    std::string code = "51";    // the two characters that 'p' reports
    std::uint16_t size = 4096;  // flash bytes; 0 for an empty socket
    bool family2051 = false;    // the board is a 2051-family board ("2051" in its banner)

    bool operator==(const Chip&) const = default;
};

// "51" 89C51 (4 KB), "61" 89LV51 (4 KB), "52" 89C52 (8 KB), "62" 89LV52 (8 KB),
// "55" 89C55 (20 KB), "65" 89LV55 (20 KB); any other two characters (such as
// "00") stand for an empty socket that reports that code.
Chip ChipFromCode(std::string_view code);
// The 2051 family: 2048 (89C2051) or 4096 (89C4051) bytes.
Chip Chip2051(std::uint16_t size);
// Text form used by the program's --chip option: a two-character code as
// above, "2051" (2 KB) or "4051" (4 KB). Nothing for anything else.
std::optional<Chip> ParseChip(std::string_view text);

// Random bytes on the line, the same for the same seed.
struct LineNoise {
    std::uint32_t seed = 1;
    std::size_t before = 0;       // bytes in front of every reply
    unsigned insidePerMille = 0;  // chance, per reply byte, of one byte in front of it
    // What the noise is made of; empty: any byte value.
    std::string alphabet;
};

// Faults the board can be told to show. All off by default.
struct Faults {
    bool silent = false;       // reads everything, answers nothing
    bool noAnswerToP = false;  // ignores 'p'
    // The next N erases fail: the flash and the lock stay as they were, and
    // the reply has no "ok" (unless eraseFailureSaysOk, when only the status
    // of 'p' or a read-back shows that the chip is not blank).
    int eraseFailures = 0;
    bool eraseFailureSaysOk = false;
    // In every write pass, byte N (counted from 1) is answered with
    // wrongHandshakeByte instead of XOFF; the board then drops the pass
    // (without a prompt) and waits for the next command. 0 = off.
    std::uint32_t wrongHandshakeAt = 0;
    std::uint8_t wrongHandshakeByte = '?';
    // In the next write pass only, the XON before byte N (counted from 1) is
    // replaced by xonGlitchByte, as noise on the line would replace it; the
    // board still waits for byte N. 0 = off; back to 0 once it has happened.
    std::uint32_t xonGlitchAt = 0;
    std::uint8_t xonGlitchByte = '?';
    // In the next write pass only, the XOFF that answers byte N (counted
    // from 1) is lost on the line; the XON of the next byte comes as usual.
    // 0 = off; back to 0 once it has happened.
    std::uint32_t xoffDropAt = 0;
    // In the next write pass only, the XON before byte N (counted from 1) is
    // lost on the line; the board still waits for byte N (for ever, unless
    // passTimeout is set). 0 = off; back to 0 once it has happened.
    std::uint32_t xonDropAt = 0;
    // (xonGlitchAt, xoffDropAt and xonDropAt may be kLastByte.)
    // In the next write pass only, the line goes away once byte N (counted
    // from 1, or kLastByte) was taken, as in Unplug(). 0 = off.
    std::uint32_t goneInPassAt = 0;
    // The next N replies that end in the prompt (greeting, 'p', 'e', 'c',
    // 'l', the count's LF) are lost on the line; the board still does what
    // it was told.
    int lostReplies = 0;
    // The next N such replies come lateBy after the board had them ready.
    int lateReplies = 0;
    std::chrono::milliseconds lateBy{1500};
    // The next N such replies, or dumps, have one bit of one byte flipped
    // on the line (noise), or stop part-way (the prompt never comes).
    int damagedReplies = 0;
    int cutReplies = 0;
    PromptForm promptForm = PromptForm::Usual;
    // Sent instead of the echo 'r' (the dump follows as usual). Off when empty.
    std::optional<std::uint8_t> wrongReadEcho;
    // Sent before every greeting.
    std::string noiseBeforeGreeting;
    // After the host has written this many bytes to the board (counted from
    // the moment the line was plugged), the line goes away as in Unplug().
    std::optional<std::uint64_t> lineGoneAfter;
    // After the board has written this many bytes to the host (counted the
    // same way), the line goes away, in the middle of a reply if need be.
    std::optional<std::uint64_t> lineGoneAfterSent;

    // Hostile and noisy lines.
    // Every byte the board sends goes out on its own, this long after the
    // one before it.
    std::optional<std::chrono::milliseconds> splitReplies;
    // Random bytes mixed into what the board sends (see LineNoise).
    std::optional<LineNoise> noise;
    // Sent instead of the greeting (banner and prompt), e.g. one without "Yarv".
    std::optional<std::string> greeting;
    // The board sends back every byte it receives and does nothing else.
    bool echoAll = false;
    // While waiting for a command the board sends this text over and over
    // (at the line's pace when the board is paced, otherwise as fast as the
    // host takes it); commands are still answered.
    std::optional<std::string> flood;
};

struct BoardOptions {
    Chip chip;
    // Initial flash from address 0; the rest of the flash is blank (0xFF).
    // Bytes beyond the chip's size are dropped.
    std::vector<std::uint8_t> flash;
    bool locked = false;
    // Line pacing: 0 = none (bytes go as fast as the pty takes them);
    // otherwise every character in each direction takes 10 bit times of this
    // baud rate (9600 baud: about 1.04 ms).
    unsigned baud = 0;
    std::chrono::milliseconds eraseDelay{20};
    // Pause after the echo of 'w' while the board gets ready (0 allowed).
    std::chrono::milliseconds writePause{5};
    // A board that gives up a write pass when the host sends nothing for this
    // long (it then waits for commands again, without a prompt). None, as a
    // real board does: the pass waits for ever for its bytes, also across the
    // host closing and reopening the port.
    std::optional<std::chrono::milliseconds> passTimeout;
    // The board behind a USB serial adapter: what it sends reaches the host
    // in packets, each once this long has passed since its first byte, or
    // at once when it is full (kAdapterPacket bytes). 0: no adapter.
    std::chrono::milliseconds latency{0};
    // How the board words its replies; none: DefaultDialectSeed()'s.
    std::optional<Dialect> dialect;
    Faults faults;
};

// The payload of one packet of a USB serial adapter.
inline constexpr std::size_t kAdapterPacket = 62;

// What a socket holds, looked at in one go.
struct SocketView {
    std::uint64_t seating = 0;  // counts the chips put in, from 1 for the first
    bool seated = false;        // a chip (not an empty socket)
    std::vector<std::uint8_t> flash;
    std::uint32_t writePasses = 0;  // 'w' commands since this chip was put in
};

// Nominal time of one character (start bit, 8 data bits, stop bit).
std::chrono::nanoseconds CharacterTime(unsigned baud);

// The board, served on its own thread. Every accessor is thread-safe; Start()
// and Stop() belong to the one thread that owns the object.
// Errors of the system (opening the pty, announcing) raise std::system_error.
class VirtualProgrammer {
public:
    explicit VirtualProgrammer(BoardOptions options = {});
    ~VirtualProgrammer();  // Stop()
    VirtualProgrammer(const VirtualProgrammer&) = delete;
    VirtualProgrammer& operator=(const VirtualProgrammer&) = delete;

    // Opens a pty pair (raw mode) and serves it; announces it when an entry
    // was asked for. Calling it while running does nothing.
    void Start();
    // Stops serving, closes the line and withdraws the map entry.
    void Stop();
    bool Running() const;

    // The slave's path (/dev/pts/N); empty while unplugged or stopped.
    std::string PortPath() const;

    // Announces the port as entry `name` of the device map directory `dir`
    // (now when plugged, otherwise as soon as it is), and keeps it announced
    // across Unplug()/Plug(). One entry at a time: a new one replaces it.
    void Announce(const std::string& dir, const std::string& name);
    // Removes the entry (if any) and forgets it.
    void Withdraw();
    // dir + "/" + name of the entry, or empty.
    std::string MapEntry() const;

    // The line goes away: the board closes its side of the pty (the host sees
    // a hang-up and errors), and the map entry is removed. Waits until done.
    void Unplug();
    // Plugs in again: a new pty, announced under the same entry name;
    // `elsewhere`: under a port name other than the last one (a USB adapter
    // plugged into another socket of the hub).
    void Plug(bool elsewhere = false);
    bool Plugged() const;
    // Waits until the line is gone (Unplug() or the lineGoneAfter fault).
    bool WaitUnplugged(std::chrono::milliseconds timeout) const;

    // Puts another chip into the socket: its flash is `flash` (the rest
    // blank), unlocked; the byte counter stays as it was.
    void InsertChip(const Chip& chip, std::vector<std::uint8_t> flash = {});
    Chip CurrentChip() const;
    // The socket, as a user at a production station works it: the chip is
    // taken out (the board then reports an empty socket, code "00"; a board
    // for the 2051 family still greets as one, and cannot tell), and a fresh,
    // erased chip of the kind the board was started with is seated.
    // A seated chip may have one cell that programming never reaches
    // (`stuckCell`): it stays as the erase left it, so a verify fails.
    // RemoveChip gives what was taken out.
    SocketView RemoveChip();
    void SeatChip(std::optional<std::uint32_t> stuckCell = std::nullopt);
    bool ChipSeated() const;
    SocketView Socket() const;
    // Whether the board is inside a write pass, waiting for its bytes.
    bool InWritePass() const;
    void SetFaults(const Faults& faults);
    // The board is put behind a USB serial adapter of this latency (0: none).
    void SetLatency(std::chrono::milliseconds latency);
    // How the board words its replies (fixed for its life).
    const Dialect& Words() const { return FDialect; }
    // Changes the faults in place (one-shot ones the board has used stay used).
    template <typename TChange>
    void ChangeFaults(TChange change) {
        std::lock_guard lock(FMutex);
        change(FOptions.faults);
        ++FFaultsVersion;
    }
    Faults CurrentFaults() const;

    // A copy of the whole flash (chip size), as stored: the lock does not hide it.
    std::vector<std::uint8_t> Flash() const;
    bool Locked() const;
    // The byte counter as set by the last accepted 's' (0 before any).
    std::uint32_t Counter() const;
    // The data bytes that the last write pass has taken so far (0 before any).
    std::uint32_t PassBytesTaken() const;

    // The commands received, one entry each, as they came on the line: "\r",
    // "p", "e", "w", "r", "c", "l", and a whole counter entry such as
    // "s2048\n" (ended early by another character: "s20"). Data bytes of a
    // write pass and ignored characters are not commands.
    std::vector<std::string> CommandLog() const;
    void ClearCommandLog();
    // Waits until the log holds at least `entries` entries.
    bool WaitForCommands(std::size_t entries, std::chrono::milliseconds timeout) const;
    // Bytes the host has written since the line was last plugged.
    std::uint64_t BytesReceived() const;
    // Bytes the board has written since the line was last plugged.
    std::uint64_t BytesSent() const;

private:
    struct LineClosed {};  // thrown inside the serving thread: stop, unplug or line gone
    struct TimedOut {};    // no byte came before Get's deadline
    using Clock = std::chrono::steady_clock;

    void Serve();
    void ServeLine(int master);
    void Command(int master, std::uint8_t c);
    void CounterEntry(int master);
    void WritePass(int master);
    // A reply that ends in the prompt: `text`, then the end that the prompt
    // form asks for (the dialect's for `end`); lost, late, damaged or cut
    // short as the faults say.
    void Reply(int master, std::string_view text, Dialect::End end);
    std::string Ending(PromptForm form, Dialect::End end) const;
    // A reply as the line delivers it: damaged or cut short as the faults say.
    std::string OnTheLine(std::string reply);
    // The next byte from the host; with a deadline, TimedOut when none came by then.
    std::uint8_t Get(int master, std::optional<Clock::time_point> deadline = std::nullopt);
    void Put(int master, std::string_view bytes);
    // Writes what the host takes now (up to the lineGoneAfterSent limit,
    // where the line goes away); 0 when the host takes nothing.
    std::size_t WriteSome(int master, std::string_view bytes);
    // The noise the faults ask for, with `bytes` inside it.
    std::string AddNoise(const LineNoise& noise, std::string_view bytes);
    // Sends the next piece of the flood text if the line is free.
    void FloodSome(int master, const std::string& text);
    // A delay of the board's own (erasing, getting ready to write).
    void Delay(Clock::duration delay);
    void SleepUntil(Clock::time_point deadline);
    // The adapter's packet: bytes held until its latency has passed.
    void Hold(int master, std::string_view bytes, std::chrono::milliseconds latency);
    void FlushHeld(int master);
    // Sends the held packet if its time has come.
    void FlushHeldIfDue();
    void Wake();
    void OpenLine();   // with the mutex held
    void CloseLine();  // with the mutex held
    void Log(std::string entry);
    // A chip into the socket, with the mutex held.
    void PutInSocket(const Chip& chip, const std::vector<std::uint8_t>& flash,
                     std::optional<std::uint32_t> stuckCell);

    mutable std::mutex FMutex;
    mutable std::condition_variable FChanged;

    BoardOptions FOptions;  // chip, faults and timings as they stand now
    const Dialect FDialect;
    Chip FSocketKind;  // what SeatChip() seats
    std::vector<std::uint8_t> FFlash;
    bool FLocked = false;
    std::uint32_t FCounter = 0;
    std::uint32_t FPassTaken = 0;
    std::uint64_t FSeating = 1;
    std::optional<std::uint32_t> FStuckCell;
    std::uint32_t FWritePasses = 0;
    bool FInWritePass = false;
    std::vector<std::string> FLog;
    std::uint64_t FReceived = 0;
    std::uint64_t FSent = 0;
    std::uint64_t FFaultsVersion = 0;  // counts SetFaults(), so the noise restarts from its seed

    int FMaster = -1;
    int FSlaveHold = -1;  // keeps the line up while no host has it open
    int FWake[2] = {-1, -1};
    std::string FPortPath;
    std::string FLastPortPath;  // the line's name before it went away
    std::string FMapDir, FMapName;
    bool FServing = false;  // between Start() and Stop(); FThread itself is only touched there
    bool FStop = false;
    bool FUnplugRequest = false;
    std::atomic<bool> FInterrupt{false};  // FStop or FUnplugRequest, for the sleeps
    std::thread FThread;

    // Owned by the serving thread.
    std::string FInput;
    std::size_t FInputPos = 0;
    std::optional<std::uint8_t> FPending;  // a byte that ended a counter entry
    Clock::time_point FChunkTime{}, FRxFree{}, FTxFree{};
    // Paced: when the board had the last character it received, or ended a
    // delay of its own; nothing it sends goes out earlier.
    Clock::time_point FBoardTime{};
    std::mt19937 FNoiseRandom;
    std::uint64_t FNoiseVersion = ~std::uint64_t{0};
    std::size_t FFloodPos = 0;
    int FServedMaster = -1;
    std::string FHeld;
    Clock::time_point FHeldUntil{};
    std::mt19937 FLineRandom;  // where bursts break and damage falls
};

}  // namespace corvane::sim
