// corvane-sim: a virtual programmer board on a pseudo-terminal, announced in
// the device map so that Corvane finds it as it would find a real board.

#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "DeviceMap.h"
#include "FaultSchedule.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

namespace {

using corvane::sim::BoardOptions;

constexpr const char* kUsage = R"(Usage: corvane-sim [OPTION]...
A virtual programmer board for Corvane on a pseudo-terminal. It announces its
port in the device map while it runs, prints one line "PORT ENTRY" (the pty's
path and the map entry's path) on standard output when it is ready, and ends
on SIGINT, SIGTERM or the end of standard input, removing its entry.

The socket: the line "out" on standard input, or SIGUSR1, takes the chip out
(the board then answers 'p' with the code 00 of an empty socket; a 2051-family
board cannot tell and greets as before); the line "in", or SIGUSR2, seats a
fresh, erased chip of the kind --chip named. Each change is confirmed by a line
"socket empty" or "socket CODE" on standard output.

Chip and flash:
  --chip KIND        the chip in the socket: 51 (89C51, 4 KB), 61 (89LV51, 4 KB),
                     52 (89C52, 8 KB), 62 (89LV52, 8 KB), 55 (89C55, 20 KB),
                     65 (89LV55, 20 KB); 00 or any other two characters: an
                     empty socket that reports that code; 2051 or 4051: a
                     2051-family board with a 2 KB or 4 KB chip. Default 51.
  --flash FILE       initial flash from an Intel HEX file (default blank)
  --locked           the chip starts locked
  --dump FILE        write the final flash to an Intel HEX file on exit

Timing:
  --pace             pace the line at the character time of 9600 baud
                     (about 1.04 ms per character in each direction)
  --baud N           pace the line at the character time of N baud
  --erase-delay MS   how long an erase takes (default 20)
  --write-pause MS   pause after the echo of 'w' (default 5, 0 allowed)
  --pass-timeout MS  give up a write pass when the host sends nothing for MS
                     milliseconds (back to waiting for commands, no prompt);
                     without it the pass waits for ever for its bytes, also
                     across the host closing and reopening the port, as a
                     real board does
  --latency MS       hold what the board sends as a USB serial adapter does:
                     in packets sent MS milliseconds after their first byte
                     (or when 62 bytes are held); 16 is a common default

Faults:
  --silent           read everything, answer nothing
  --no-p-answer      never answer 'p'
  --erase-fail N     the first N erases fail (no "ok"; flash unchanged)
  --erase-fail-says-ok
                     a failed erase still answers "ok" (only the status of
                     'p' or a read-back shows it)
  --bad-xoff N       in every write pass, answer byte N (from 1) with '?'
                     instead of XOFF and drop the pass
  --bad-xoff-byte B  the byte sent instead of XOFF (decimal, default 63)
  --xon-glitch N     in the first write pass only, send '?' in place of the
                     XON before byte N (from 1), as line noise would; the
                     board still waits for byte N
  --xon-glitch-byte B
                     the byte sent in place of that XON (decimal, default 63)
  --xoff-drop N      in the first write pass only, the XOFF that answers
                     byte N (from 1) is lost, as on a noisy line
  --xon-drop N       in the first write pass only, the XON before byte N
                     (from 1) is lost; the board still waits for byte N
  --bad-echo C       send the character C instead of the echo of 'r'
  --noise N          send N bytes of garbage before every greeting
  --gone-after N     the line goes away (pty closed, entry removed) after
                     the host has written N bytes
  --gone-after-sent N
                     the line goes away after the board has sent N bytes

  --prompt FORM      end every reply in the prompt this way: usual (the
                     dialect's own ends), bare, crlf, or text (a line of its
                     own first)

Words:
  --dialect SEED     word every reply as the dialect that SEED draws (the
                     greeting's words around "Yarv", the chip query's first
                     character and the words around its code and "ok", line
                     ends and a text before each prompt, an echo before the
                     write's echo and the counter's XONs, the case of hex
                     digits, replies whole or in bursts), keeping everything
                     the protocol fixes; 0 is the usual dialect. Default: the
                     seed in $CORVANE_SIM_DIALECT, otherwise 0
  --show-dialect     print the dialect (a sample of every reply) and end

Faults over time (a schedule):
  --faults SEED      play the faults that SEED draws for an hour: lost and
                     late replies, lost XONs and XOFFs, failed erases, chips
                     taken out and seated (now and then one with a cell that
                     never programs, or one left in for long), the line
                     unplugged and back (while idle and in a write pass),
                     the replies' prompt form, replies damaged or cut short
                     by noise, and a USB adapter's latency; the same SEED
                     gives the same schedule
  --schedule FILE    play the schedule in FILE: one event a line, "AT EVENT",
                     AT in milliseconds from the start, EVENT one of: out;
                     in [stuck=ADDR]; unplug MS; move MS (back under
                     another port's name); gone-in-pass N|last MS;
                     lose N; late N MS; xon-drop N|last; xoff-drop N|last;
                     erase-fail N; prompt usual|bare|crlf|text; damage N;
                     cut N; latency MS ('#' begins a comment)
  --show-schedule    print the schedule (of --faults or --schedule) in that
                     form and end, so that a drawn one can be edited

Noisy and hostile lines:
  --split MS         send every byte on its own, MS milliseconds apart
  --random-noise SEED,BEFORE,PERMILLE
                     random bytes (the same for the same SEED): BEFORE of them
                     in front of every reply, and one in front of a reply
                     byte with a chance of PERMILLE in 1000
  --greeting TEXT    answer CR with TEXT instead of the greeting
  --echo             send back every byte received and do nothing else
  --flood TEXT       send TEXT over and over while waiting for commands

Device map:
  --map DIR          announce in DIR (default: $CORVANE_SERIALCOMM when set,
                     otherwise the runtime directory $XDG_RUNTIME_DIR/corvane/
                     serialcomm or, without it, corvane-UID/serialcomm in
                     $TMPDIR or /tmp, made private and used only while it is)
  --name NAME        the entry's name (default corvane-sim-PID)
  --ignore-stdin     run until a signal even when standard input ends (for
                     starting it in the background)
  --help             show this text
  --version          show the version
)";

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string Noise(std::size_t n) {
    // Garbage without the prompt '>' in it, the same every time.
    static constexpr unsigned char kPool[] = {0x00, 0xFE, '#',  '~', 0x7F,
                                              '!',  '%',  0x80, '@', 0x1B};
    std::string noise;
    for (std::size_t i = 0; i < n; ++i) noise += static_cast<char>(kPool[(i * 7) % sizeof kPool]);
    return noise;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "corvane-sim: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    enum {
        kChip = 256,
        kFlash,
        kLocked,
        kDump,
        kPace,
        kBaud,
        kEraseDelay,
        kWritePause,
        kLatency,
        kSilent,
        kNoP,
        kEraseFail,
        kEraseFailOk,
        kBadXoff,
        kBadXoffByte,
        kXonGlitch,
        kXonGlitchByte,
        kXoffDrop,
        kXonDrop,
        kPassTimeout,
        kBadEcho,
        kNoise,
        kGoneAfter,
        kGoneAfterSent,
        kSplit,
        kRandomNoise,
        kGreeting,
        kEcho,
        kFlood,
        kMap,
        kName,
        kIgnoreStdin,
        kPrompt,
        kFaultSeed,
        kSchedule,
        kShowSchedule,
        kDialect,
        kShowDialect,
        kHelp,
        kVersion
    };
    static const option kOptions[] = {
        {"chip", required_argument, nullptr, kChip},
        {"flash", required_argument, nullptr, kFlash},
        {"locked", no_argument, nullptr, kLocked},
        {"dump", required_argument, nullptr, kDump},
        {"pace", no_argument, nullptr, kPace},
        {"baud", required_argument, nullptr, kBaud},
        {"erase-delay", required_argument, nullptr, kEraseDelay},
        {"write-pause", required_argument, nullptr, kWritePause},
        {"latency", required_argument, nullptr, kLatency},
        {"silent", no_argument, nullptr, kSilent},
        {"no-p-answer", no_argument, nullptr, kNoP},
        {"erase-fail", required_argument, nullptr, kEraseFail},
        {"erase-fail-says-ok", no_argument, nullptr, kEraseFailOk},
        {"bad-xoff", required_argument, nullptr, kBadXoff},
        {"bad-xoff-byte", required_argument, nullptr, kBadXoffByte},
        {"xon-glitch", required_argument, nullptr, kXonGlitch},
        {"xon-glitch-byte", required_argument, nullptr, kXonGlitchByte},
        {"xoff-drop", required_argument, nullptr, kXoffDrop},
        {"xon-drop", required_argument, nullptr, kXonDrop},
        {"pass-timeout", required_argument, nullptr, kPassTimeout},
        {"bad-echo", required_argument, nullptr, kBadEcho},
        {"noise", required_argument, nullptr, kNoise},
        {"gone-after", required_argument, nullptr, kGoneAfter},
        {"gone-after-sent", required_argument, nullptr, kGoneAfterSent},
        {"split", required_argument, nullptr, kSplit},
        {"random-noise", required_argument, nullptr, kRandomNoise},
        {"greeting", required_argument, nullptr, kGreeting},
        {"echo", no_argument, nullptr, kEcho},
        {"flood", required_argument, nullptr, kFlood},
        {"map", required_argument, nullptr, kMap},
        {"name", required_argument, nullptr, kName},
        {"ignore-stdin", no_argument, nullptr, kIgnoreStdin},
        {"prompt", required_argument, nullptr, kPrompt},
        {"faults", required_argument, nullptr, kFaultSeed},
        {"schedule", required_argument, nullptr, kSchedule},
        {"show-schedule", no_argument, nullptr, kShowSchedule},
        {"dialect", required_argument, nullptr, kDialect},
        {"show-dialect", no_argument, nullptr, kShowDialect},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0}};

    BoardOptions options;
    std::string flashFile, dumpFile, mapDir = corvane::device::AnnounceDirectory();
    std::string name = "corvane-sim-" + std::to_string(getpid());
    bool ignoreStdin = false;
    std::optional<corvane::sim::FaultSchedule> schedule;
    bool showSchedule = false;
    bool showDialect = false;

    int opt;
    while ((opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        const std::string_view arg = optarg != nullptr ? optarg : "";
        unsigned number = 0;
        auto needNumber = [&]() { return ParseNumber(arg, number); };
        switch (opt) {
            case kChip: {
                auto chip = corvane::sim::ParseChip(arg);
                if (!chip) return Fail("unknown chip '" + std::string(arg) + "' (see --help)");
                options.chip = *chip;
                break;
            }
            case kFlash:
                flashFile = arg;
                break;
            case kLocked:
                options.locked = true;
                break;
            case kDump:
                dumpFile = arg;
                break;
            case kPace:
                options.baud = 9600;
                break;
            case kBaud:
                if (!needNumber() || number == 0) return Fail("--baud needs a positive number");
                options.baud = number;
                break;
            case kEraseDelay:
                if (!needNumber()) return Fail("--erase-delay needs milliseconds");
                options.eraseDelay = std::chrono::milliseconds(number);
                break;
            case kWritePause:
                if (!needNumber()) return Fail("--write-pause needs milliseconds");
                options.writePause = std::chrono::milliseconds(number);
                break;
            case kLatency:
                if (!needNumber()) return Fail("--latency needs milliseconds");
                options.latency = std::chrono::milliseconds(number);
                break;
            case kSilent:
                options.faults.silent = true;
                break;
            case kNoP:
                options.faults.noAnswerToP = true;
                break;
            case kEraseFail:
                if (!needNumber()) return Fail("--erase-fail needs a count");
                options.faults.eraseFailures = static_cast<int>(number);
                break;
            case kEraseFailOk:
                options.faults.eraseFailureSaysOk = true;
                break;
            case kBadXoff:
                if (!needNumber() || number == 0)
                    return Fail("--bad-xoff needs a byte number from 1");
                options.faults.wrongHandshakeAt = number;
                break;
            case kBadXoffByte:
                if (!needNumber() || number > 255) return Fail("--bad-xoff-byte needs 0 to 255");
                options.faults.wrongHandshakeByte = static_cast<std::uint8_t>(number);
                break;
            case kXonGlitch:
                if (!needNumber() || number == 0)
                    return Fail("--xon-glitch needs a byte number from 1");
                options.faults.xonGlitchAt = number;
                break;
            case kXonGlitchByte:
                if (!needNumber() || number > 255) return Fail("--xon-glitch-byte needs 0 to 255");
                options.faults.xonGlitchByte = static_cast<std::uint8_t>(number);
                break;
            case kXoffDrop:
                if (!needNumber() || number == 0)
                    return Fail("--xoff-drop needs a byte number from 1");
                options.faults.xoffDropAt = number;
                break;
            case kXonDrop:
                if (!needNumber() || number == 0)
                    return Fail("--xon-drop needs a byte number from 1");
                options.faults.xonDropAt = number;
                break;
            case kPassTimeout:
                if (!needNumber() || number == 0)
                    return Fail("--pass-timeout needs milliseconds from 1");
                options.passTimeout = std::chrono::milliseconds(number);
                break;
            case kBadEcho:
                if (arg.size() != 1) return Fail("--bad-echo needs one character");
                options.faults.wrongReadEcho = static_cast<std::uint8_t>(arg[0]);
                break;
            case kNoise:
                if (!needNumber()) return Fail("--noise needs a count");
                options.faults.noiseBeforeGreeting = Noise(number);
                break;
            case kGoneAfter: {
                std::uint64_t n = 0;
                if (!ParseNumber(arg, n)) return Fail("--gone-after needs a count");
                options.faults.lineGoneAfter = n;
                break;
            }
            case kGoneAfterSent: {
                std::uint64_t n = 0;
                if (!ParseNumber(arg, n)) return Fail("--gone-after-sent needs a count");
                options.faults.lineGoneAfterSent = n;
                break;
            }
            case kSplit:
                if (!needNumber()) return Fail("--split needs milliseconds");
                options.faults.splitReplies = std::chrono::milliseconds(number);
                break;
            case kRandomNoise: {
                corvane::sim::LineNoise noise;
                const auto c1 = arg.find(',');
                const auto c2 = c1 == std::string_view::npos ? c1 : arg.find(',', c1 + 1);
                if (c2 == std::string_view::npos || !ParseNumber(arg.substr(0, c1), noise.seed) ||
                    !ParseNumber(arg.substr(c1 + 1, c2 - c1 - 1), noise.before) ||
                    !ParseNumber(arg.substr(c2 + 1), noise.insidePerMille) ||
                    noise.insidePerMille > 1000) {
                    return Fail("--random-noise needs SEED,BEFORE,PERMILLE");
                }
                options.faults.noise = noise;
                break;
            }
            case kGreeting:
                options.faults.greeting = std::string(arg);
                break;
            case kEcho:
                options.faults.echoAll = true;
                break;
            case kFlood:
                if (arg.empty()) return Fail("--flood needs a text");
                options.faults.flood = std::string(arg);
                break;
            case kMap:
                mapDir = arg;
                break;
            case kName:
                if (arg.empty() || arg.find('/') != std::string_view::npos || arg[0] == '.') {
                    return Fail("--name needs a plain file name");
                }
                name = arg;
                break;
            case kIgnoreStdin:
                ignoreStdin = true;
                break;
            case kPrompt: {
                constexpr std::string_view kForms[] = {"usual", "bare", "crlf", "text"};
                const auto* form = std::find(std::begin(kForms), std::end(kForms), arg);
                if (form == std::end(kForms))
                    return Fail("--prompt takes usual, bare, crlf or text");
                options.faults.promptForm =
                    static_cast<corvane::sim::PromptForm>(form - std::begin(kForms));
                break;
            }
            case kFaultSeed: {
                std::uint64_t seed = 0;
                if (!ParseNumber(arg, seed)) return Fail("--faults needs a seed (a number)");
                corvane::sim::DrawOptions draw;
                draw.length = std::chrono::hours(1);
                schedule = corvane::sim::DrawSchedule(seed, draw);
                break;
            }
            case kSchedule:
                try {
                    std::ifstream in{std::string(arg)};
                    if (!in) return Fail(std::string(arg) + ": cannot be read");
                    std::ostringstream text;
                    text << in.rdbuf();
                    schedule = corvane::sim::ParseSchedule(text.str());
                } catch (const std::exception& e) {
                    return Fail(std::string(arg) + ": " + e.what());
                }
                break;
            case kShowSchedule:
                showSchedule = true;
                break;
            case kDialect: {
                std::uint64_t seed = 0;
                if (!ParseNumber(arg, seed)) return Fail("--dialect needs a seed (a number)");
                options.dialect = corvane::sim::DrawDialect(seed);
                break;
            }
            case kShowDialect:
                showDialect = true;
                break;
            case kHelp:
                std::fputs(kUsage, stdout);
                return 0;
            case kVersion:
                std::printf("corvane-sim %s\n", CORVANE_VERSION);
                return 0;
            default:
                std::fputs("Try 'corvane-sim --help'.\n", stderr);
                return 2;
        }
    }
    if (optind < argc) return Fail(std::string("unexpected argument '") + argv[optind] + "'");
    if (!options.dialect) {
        options.dialect = corvane::sim::DrawDialect(corvane::sim::DefaultDialectSeed());
    }
    if (showDialect) {
        std::printf("%s\n", options.dialect->Describe().c_str());
        return 0;
    }
    if (showSchedule) {
        if (!schedule) return Fail("--show-schedule needs --faults or --schedule");
        std::fputs(corvane::sim::ScheduleText(*schedule).c_str(), stdout);
        return 0;
    }

    if (!flashFile.empty()) {
        if (options.chip.size == 0) return Fail("an empty socket has no flash to load");
        try {
            corvane::THexFile image;
            image.SetMemSize(options.chip.size);
            image.LoadHex(flashFile);
            options.flash = image.Data();
        } catch (const std::exception& e) {
            return Fail(flashFile + ": " + e.what());
        }
    }

    // The signals are taken through a descriptor; the board's thread inherits
    // the mask, so they never interrupt it.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int sigfd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (sigfd < 0) return Fail(std::string("signalfd: ") + std::strerror(errno));

    corvane::sim::VirtualProgrammer board(options);
    try {
        board.Announce(mapDir, name);
        board.Start();
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    std::printf("%s %s\n", board.PortPath().c_str(), board.MapEntry().c_str());
    std::fflush(stdout);

    // Standard output is written from the schedule's thread too.
    std::mutex outMutex;
    std::optional<corvane::sim::FaultDriver> driver;
    if (schedule) {
        driver.emplace(board, std::move(*schedule), [&outMutex](const corvane::sim::SocketView&) {
            std::lock_guard lock(outMutex);
            std::printf("socket empty\n");
            std::fflush(stdout);
        });
        driver->Start();
    }

    // The socket's control, from a signal or a line on standard input.
    auto socket = [&board, &outMutex](bool seat) {
        std::lock_guard lock(outMutex);
        if (seat) {
            board.SeatChip();
            std::printf("socket %s\n", board.CurrentChip().code.c_str());
        } else {
            board.RemoveChip();
            std::printf("socket empty\n");
        }
        std::fflush(stdout);
    };
    std::string line;
    for (;;) {
        pollfd fds[2] = {{sigfd, POLLIN, 0}, {ignoreStdin ? -1 : STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            if (read(sigfd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) break;
            if (info.ssi_signo != SIGUSR1 && info.ssi_signo != SIGUSR2) break;
            socket(info.ssi_signo == SIGUSR2);
            continue;
        }
        if (fds[1].revents != 0) {
            char buf[256];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            line.append(buf, static_cast<std::size_t>(n));
            for (std::size_t end; (end = line.find('\n')) != std::string::npos;
                 line.erase(0, end + 1)) {
                std::string word = line.substr(0, end);
                word.erase(word.find_last_not_of(" \r") + 1);
                if (word == "out" || word == "in") socket(word == "in");
            }
        }
    }

    if (driver) driver->Stop();
    const auto flash = board.Flash();
    board.Stop();
    close(sigfd);
    if (!dumpFile.empty() && !flash.empty()) {
        try {
            corvane::THexFile image;
            image.SetMemSize(static_cast<std::uint16_t>(flash.size()));
            for (std::size_t i = 0; i < flash.size(); ++i) {
                image.SetByte(static_cast<std::uint16_t>(i), flash[i]);
            }
            image.SaveHex(dumpFile);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "corvane-sim: %s: %s\n", dumpFile.c_str(), e.what());
            return 1;
        }
    }
    return 0;
}
