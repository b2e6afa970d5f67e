// The station's fault campaign: for each seed, four virtual programmers, each
// wording its replies in a dialect of its own, that misbehave as the seed
// draws (lost and late replies, lost handshake bytes, failed erases, a cell
// that never programs, the line unplugged, replies damaged or cut short, a USB
// adapter's latency, chips taken out and seated at random moments) run under
// the real corvane-cli station, which is stopped with Ctrl+C or killed at
// random moments and started again. Now and then a seed also draws what real
// lines and stations do (see RareFaults): a board back under another port's
// name, a board left in its pass by a killed station, a 2051 board with Enter
// pressed at random, --chips, a series that runs out, the number at address
// 0, a log or state file that cannot be written, the state file deleted.
// Every chip taken out is looked at. After the seed the station's promises
// are checked from the chips and the log: no number in two chips or handed
// out twice, every number in a chip logged as used, no seating programmed
// twice in one run of the station nor a finished chip again after a restart,
// every "Complete!" chip holding the file and its number, an exit status that
// matches the run's rows, whole rows, every board at its prompt, no abort,
// and a Ctrl+C that ends the station within the passes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CsvRows.h"
#include "FaultSchedule.h"
#include "SpawnSignals.h"
#include "TempDir.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

extern char** environ;

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kBoards = 4;
constexpr std::uint32_t kFirstSerial = 1000;
constexpr std::size_t kSerialDigits = 4;

struct Settings {
    std::string cli = CORVANE_CLI_PATH;
    milliseconds length{10000};  // of the runs of one seed
    milliseconds stopLimit{15000};
    std::string keep;  // a folder that keeps each seed's files (log, station output)
    bool all = false;  // program --all runs instead of the station
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One look at a socket: at each start of the station (`start`), at its end,
// and when the chip is taken out.
struct Look {
    int board;
    sim::SocketView socket;
    bool start = false;
};

// The faults of a seed beyond its boards' own, each drawn now and then.
struct RareFaults {
    bool moves = false;       // boards come back under another port's name
    bool keepPasses = false;  // a board in a pass stays on when the station is killed
    bool chip2051 = false;    // the last board is a 2051/4051 one; Enter comes at random
    int chips = 0;            // --chips
    bool runsOut = false;     // the series starts a few numbers before its end
    bool serialAt0 = false;   // the number first in the pass, the file behind it
    // The log's writes cut short: a file size limit a little above the log in
    // some runs, its last row torn after some kills (a power loss), and a
    // file name that its rows quote.
    bool logCut = false;
    bool stateFails = false;  // some runs cannot replace the state file
    bool stateDeleted = false;
};

std::size_t Column(const std::vector<std::string>& header, const char* name) {
    return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
}

// A cell as its value: without the marks that keep a spreadsheet from taking
// it for a formula or a number (a leading apostrophe, ="...").
std::string Value(std::string cell) {
    if (cell.starts_with("=\"") && cell.ends_with("\"") && cell.size() >= 3) {
        cell = cell.substr(2, cell.size() - 3);
    }
    if (cell.starts_with("'")) cell.erase(0, 1);
    return cell;
}

class Seed {
public:
    Seed(std::uint64_t seed, const Settings& settings)
        : FSeed(seed), FSettings(settings), FDraw(seed), FRareDraw(seed ^ 0x5EEDFA17ULL) {
        // From an engine of their own: the boards' faults of a seed stay as they were.
        FRare.moves = RareFault(8, "moves");
        FRare.keepPasses = RareFault(5, "kept-pass");
        FRare.serialAt0 = RareFault(4, "serial@0");
        if (settings.all) return;
        FRare.chip2051 = RareFault(6, "2051");
        FRare.chips = RareFault(6, "chips") ? static_cast<int>(Rare(1, 8)) : 0;
        FRare.runsOut = RareFault(8, "runs-out");
        FRare.logCut = RareFault(6, "log-cut");
        FRare.stateFails = RareFault(8, "state-fails");
        FRare.stateDeleted = RareFault(6, "state-deleted");
    }

    // The failures found; none when the seed passed.
    std::vector<std::string> Run() {
        Prepare();
        const auto end = Clock::now() + FSettings.length;
        // The last run is neither killed nor cut short: the seed ends with it.
        for (int run = 0;; ++run) {
            const bool last = Clock::now() + milliseconds(1500) >= end;
            RunStation(run, last);
            if (last) break;
        }
        for (auto& driver : FDrivers) driver->Stop();
        for (int b = 0; b < kBoards; ++b) {
            FBoards[b]->SetFaults({});
            // The pass that a killed station left ends as the operator ends
            // it: the board switched off and on.
            if (FKept[b] && FBoards[b]->InWritePass()) {
                FBoards[b]->Unplug();
                FBoards[b]->Plug();
            }
        }
        LookAtSockets(false);
        for (int b = 0; b < kBoards; ++b) {
            const bool inPass = FBoards[b]->InWritePass();
            if (!Greets(*FBoards[b])) {
                Fail("board " + std::to_string(b) + " does not answer a greeting" +
                     (inPass ? " (it was inside a write pass)" : ""));
            }
        }
        CheckLog();
        CheckChips();
        if (!FSettings.keep.empty()) {
            const auto to =
                std::filesystem::path(FSettings.keep) / ("seed-" + std::to_string(FSeed));
            std::filesystem::remove_all(to);
            std::filesystem::create_directories(to.parent_path());
            std::filesystem::copy(FDir.Path(), to,
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::copy_symlinks);
        }
        return FFailures;
    }

    // What each board's replies looked like.
    std::string Dialects() const {
        std::string text;
        for (int b = 0; b < static_cast<int>(FBoards.size()); ++b) {
            text += "  board " + std::to_string(b) + ": " + FBoards[b]->Words().Describe() + "\n";
        }
        return text;
    }

    std::string Summary() const {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%d runs, %zu chips taken out, %zu rows, longest stop %.1f s", FRuns,
                      FTakenOut, FRows, FLongestStop);
        return text + (FRareNames.empty() ? "" : ";" + FRareNames);
    }

private:
    void Fail(const std::string& why) {
        if (std::find(FFailures.begin(), FFailures.end(), why) == FFailures.end())
            FFailures.push_back(why);
    }

    std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
        return low + FDraw() % (high - low + 1);
    }
    std::uint64_t Rare(std::uint64_t low, std::uint64_t high) {
        return low + FRareDraw() % (high - low + 1);
    }
    bool RareIn(std::uint64_t n) { return FRareDraw() % n == 0; }
    // One in `n` seeds; its name goes into the summary.
    bool RareFault(std::uint64_t n, const char* name) {
        const bool drawn = RareIn(n);
        if (drawn) FRareNames += std::string(" ") + name;
        return drawn;
    }

    void Prepare() {
        std::filesystem::create_directory(FMap);
        std::filesystem::create_directory(FDir.File("tmp"));
        // Bytes that are never 0xFF, so the whole run is written; the number
        // right behind them, the last bytes of the pass, or (serialAt0) in
        // front of them, the first.
        FData.resize(Between(150, 600));
        for (std::size_t i = 0; i < FData.size(); ++i) {
            FData[i] = static_cast<std::uint8_t>((i * 7 + FSeed) % 255);
        }
        FSerialAt = FRare.serialAt0 ? 0 : FData.size();
        FDataAt = FRare.serialAt0 ? kSerialDigits : 0;
        if (FRare.runsOut) FStart = 9999 - Rare(2, 20);
        FFile = FDir.File(FRare.logCut ? "kit, rev \"B\".hex" : "a.hex");
        THexFile image;
        image.SetMemSize(4096);
        image.Clear();
        for (std::size_t i = 0; i < FData.size(); ++i) {
            image.SetByte(static_cast<std::uint16_t>(FDataAt + i), FData[i]);
        }
        image.SaveHex(FFile);
        static constexpr unsigned kBauds[] = {0, 0, 19200, 38400};
        for (int b = 0; b < kBoards; ++b) {
            sim::BoardOptions options;
            options.chip = sim::ChipFromCode(FDraw() % 2 != 0 ? "51" : "52");
            if (FRare.chip2051 && b == kBoards - 1)
                options.chip = sim::Chip2051(RareIn(2) ? 2048 : 4096);
            options.baud = kBauds[FDraw() % 4];
            // Each board words its replies its own way.
            options.dialect = sim::DrawDialect(FSeed * kBoards + static_cast<std::uint64_t>(b) + 1);
            FBoards.push_back(std::make_unique<sim::VirtualProgrammer>(options));
            FBoards.back()->Start();
            FBoards.back()->Announce(FMap, "board" + std::to_string(b));
            sim::DrawOptions draw;
            draw.length = FSettings.length + milliseconds(3000);
            draw.passBytes = static_cast<std::uint32_t>(FData.size() + kSerialDigits);
            draw.board = static_cast<std::uint64_t>(b);
            draw.moves = FRare.moves;
            FDrivers.push_back(
                std::make_unique<sim::FaultDriver>(*FBoards.back(), sim::DrawSchedule(FSeed, draw),
                                                   [this, b](const sim::SocketView& s) {
                                                       std::lock_guard lock(FMutex);
                                                       FLooks.push_back({b, s});
                                                       ++FTakenOut;
                                                   }));
        }
        for (auto& driver : FDrivers) driver->Start();
    }

    void LookAtSockets(bool start) {
        std::lock_guard lock(FMutex);
        for (int b = 0; b < kBoards; ++b) FLooks.push_back({b, FBoards[b]->Socket(), start});
    }

    // The log's rows, its header first; a row cut short at its end is left out.
    test::TCsvRows LogRows() const {
        bool whole = false;
        auto rows = test::ReadCsv(ReadFile(FLog), whole);
        if (!whole && !rows.empty()) rows.pop_back();
        return rows;
    }

    // What the station writes, copied into `file` as it comes.
    static void Copy(int fd, const std::string& file) {
        std::ofstream out(file, std::ios::binary);
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.write(buf, n).flush();
        ::close(fd);
    }

    // `fileLimit`: the largest file the station may write; `input`: its
    // standard input (/dev/null when negative).
    pid_t Spawn(int run, std::optional<rlim_t> fileLimit, int input) {
        std::vector<std::string> args{FSettings.cli,
                                      "station",
                                      FFile,
                                      "--serial",
                                      std::to_string(FSerialAt) + "=" + std::to_string(FStart),
                                      "--serial-format",
                                      "ascii:" + std::to_string(kSerialDigits),
                                      "--log",
                                      FLog};
        if (FRare.chips > 0) {
            args.push_back("--chips");
            args.push_back(std::to_string(FRare.chips));
        }
        if (FSettings.all) args = {FSettings.cli, "program", "--all", FFile};
        std::vector<std::string> env{"CORVANE_SERIALCOMM=" + FMap, "TMPDIR=" + FDir.File("tmp"),
                                     "XDG_CONFIG_HOME=" + FDir.File("config")};
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (!entry.starts_with("CORVANE_SERIALCOMM=") && !entry.starts_with("TMPDIR=") &&
                !entry.starts_with("XDG_CONFIG_HOME=")) {
                env.push_back(entry);
            }
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        FErr = FDir.File("err" + std::to_string(run));
        FOut = FDir.File("out" + std::to_string(run));
        // Its output through pipes, which a limit on its file sizes leaves alone.
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
        if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (input >= 0) {
            posix_spawn_file_actions_adddup2(&actions, input, 0);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        // The station gets the signals as from a terminal, also when the
        // campaign was started in the background, where Ctrl+C is ignored;
        // a write beyond the size limit fails (EFBIG) instead of ending it.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        test::SignalsAsFromATerminal(attributes);
        sigset_t defaults;
        sigfillset(&defaults);
        sigdelset(&defaults, SIGXFSZ);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limited = old;
        if (fileLimit) limited.rlim_cur = *fileLimit;
        setrlimit(RLIMIT_FSIZE, &limited);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        setrlimit(RLIMIT_FSIZE, &old);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(out[1]);
        ::close(err[1]);
        FDrains.emplace_back(Copy, out[0], FOut);
        FDrains.emplace_back(Copy, err[0], FErr);
        if (rc != 0) throw std::runtime_error(FSettings.cli + ": " + std::strerror(rc));
        return pid;
    }

    // What happens during a run: Enter now and then on `enter` (closed at
    // the end), and (`stateFails`) the state file made a folder at some
    // moment until the end, so that it cannot be replaced (by root neither).
    std::jthread During(int enter, bool stateFails) {
        if (enter < 0 && !stateFails) return {};
        return std::jthread([this, enter, stateFails, seed = FRareDraw()](std::stop_token stop) {
            const std::string state = FLog + ".serial", kept = state + ".kept";
            bool made = false, moved = false;
            std::mt19937_64 draw(seed);
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lock(mutex);
            for (bool first = true; !stop.stop_requested(); first = false) {
                const auto wait = first ? draw() % 1500 : 200 + draw() % 2800;
                wake.wait_for(lock, stop, milliseconds(wait), [] { return false; });
                if (stop.stop_requested()) break;
                if (enter >= 0 && ::write(enter, "\n", 1) != 1) break;
                if (stateFails && first) {
                    moved = ::rename(state.c_str(), kept.c_str()) == 0;
                    made = moved && ::mkdir(state.c_str(), 0700) == 0;
                }
            }
            if (enter >= 0) ::close(enter);
            // Unless the station wrote a newer one before the folder was there.
            if (made && ::rmdir(state.c_str()) == 0) {
                ::rename(kept.c_str(), state.c_str());
            } else if (moved) {
                ::unlink(kept.c_str());
            }
        });
    }

    // Whether the station takes Ctrl+C itself by now (it blocks the signal
    // and waits for it on a thread of its own).
    static bool TakesSignals(pid_t pid) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("SigBlk:")) {
                return (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGINT - 1))) != 0;
            }
        }
        return false;
    }

    // The process's end within `limit`; nothing when it goes on.
    static std::optional<int> Reap(pid_t pid, milliseconds limit) {
        const auto end = Clock::now() + limit;
        for (;;) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) return status;
            if (Clock::now() >= end) return std::nullopt;
            std::this_thread::sleep_for(milliseconds(5));
        }
    }

    void RunStation(int run, bool last) {
        ++FRuns;
        std::size_t from = 0;
        {
            std::lock_guard lock(FMutex);
            from = FLooks.size();
        }
        LookAtSockets(true);
        std::vector<std::uint64_t> seatings;
        for (const auto& board : FBoards) seatings.push_back(board->Socket().seating);
        const std::size_t rowsBefore = LogRows().size();
        // The disk's faults; never in the last run, whose log is read whole.
        std::optional<rlim_t> fileLimit;
        if (FRare.logCut && !last && RareIn(2)) {
            std::error_code missing;
            const auto size = std::filesystem::file_size(FLog, missing);
            fileLimit = (missing ? 0 : size) + Rare(1, 400);
        }
        const bool stateFails = FRare.stateFails && !last && RareIn(2);
        // Without its state the station has the log alone: only while every
        // number in a chip has its row.
        if (FRare.stateDeleted && FCuts.empty() && RareIn(2)) {
            std::filesystem::remove(FLog + ".serial");
        }
        int enter[2] = {-1, -1};
        if (FRare.chip2051 && pipe2(enter, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::strerror(errno));
        }
        const pid_t pid = Spawn(run, fileLimit, enter[0]);
        if (enter[0] >= 0) ::close(enter[0]);
        std::jthread during = During(enter[1], stateFails);
        const std::string name = "run " + std::to_string(run);
        const auto ready = Clock::now() + std::chrono::seconds(20);
        while (!TakesSignals(pid) && Clock::now() < ready)
            std::this_thread::sleep_for(milliseconds(2));
        bool killed = false;
        auto status = Reap(pid, milliseconds(Between(300, 4000)));
        const bool byItself = status.has_value();
        if (!byItself && !last && FDraw() % 3 == 0) {
            Kill(pid);
            killed = true;
        } else if (!byItself) {
            const auto asked = Clock::now();
            ::kill(pid, SIGINT);
            status = Reap(pid, FSettings.stopLimit);
            const double took = std::chrono::duration<double>(Clock::now() - asked).count();
            FLongestStop = std::max(FLongestStop, took);
            if (!status) {
                Fail(name + ": Ctrl+C did not end the station within " +
                     std::to_string(FSettings.stopLimit.count() / 1000) +
                     " s (its threads: stacks" + std::to_string(run) + ")");
                Stacks(pid, FDir.File("stacks" + std::to_string(run)));
                Kill(pid);
                killed = true;
            }
        }
        during = {};
        FDrains.clear();  // all the station wrote is in its files
        bool abrupt = killed;
        if (status) {
            abrupt = Ended(name + (byItself ? "" : " after Ctrl+C"), *status, byItself, rowsBefore,
                           fileLimit || stateFails);
        } else {
            CheckErr(name);
        }
        // A kill as a power loss: the run's last row only partly on the disk.
        if (killed && FRare.logCut && LogRows().size() > std::max<std::size_t>(rowsBefore, 1) &&
            RareIn(2)) {
            const std::string text = ReadFile(FLog);
            const std::size_t row = text.rfind("\r\n", text.size() - 3) + 2;
            std::filesystem::resize_file(FLog, row + Rare(1, text.size() - row - 1));
        }
        if (abrupt) Cut(from);
        if (FSettings.all) CheckAllComplete(seatings);
    }

    // Where each of the program's threads waits, when gdb is there to tell.
    static void Stacks(pid_t pid, const std::string& file) {
        std::vector<std::string> args{"gdb",    "-p",  std::to_string(pid),
                                      "-batch", "-ex", "thread apply all bt"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t gdb = -1;
        if (posix_spawnp(&gdb, "gdb", &actions, nullptr, argv.data(), environ) == 0) {
            if (!Reap(gdb, std::chrono::seconds(60))) {
                ::kill(gdb, SIGKILL);
                Reap(gdb, std::chrono::hours(1));
            }
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    void Kill(pid_t pid) {
        ::kill(pid, SIGKILL);
        Reap(pid, std::chrono::hours(1));
        // A board left inside a write pass waits for ever for its bytes: the
        // operator switches it off and on, or (keepPasses) leaves it on.
        for (int b = 0; b < kBoards; ++b) {
            if (!FBoards[b]->InWritePass()) continue;
            if (FRare.keepPasses) {
                FKept[b] = true;
                continue;
            }
            FBoards[b]->Unplug();
            FBoards[b]->Plug();
        }
    }

    // The chips programmed in a run that ended abruptly (killed, or its log
    // or state could not be written) may hold their numbers without a row:
    // every number that a chip holds now and did not at the run's start,
    // also one that a pass begun on the chip before wrote into it (a chip
    // swapped in the middle of a write takes the rest of it).
    void Cut(std::size_t from) {
        LookAtSockets(false);
        std::lock_guard lock(FMutex);
        std::map<std::pair<int, std::uint64_t>, std::optional<std::uint32_t>> atStart;
        for (std::size_t i = from; i < FLooks.size(); ++i) {
            const Look& look = FLooks[i];
            const auto seating = std::make_pair(look.board, look.socket.seating);
            const auto n = Number(look.socket.flash);
            if (look.start) {
                atStart.emplace(seating, n);
            } else if (n && (!atStart.contains(seating) || atStart[seating] != n)) {
                FCuts.insert({look.board, look.socket.seating, *n});
            }
        }
    }

    // program --all: each board that says "Complete!" and holds the chip of
    // the run's start holds the file.
    void CheckAllComplete(const std::vector<std::uint64_t>& seatings) {
        std::istringstream out(ReadFile(FOut));
        for (std::string line; std::getline(out, line);) {
            if (!line.ends_with(": Complete!")) continue;
            const std::string port = line.substr(0, line.size() - 11);
            for (int b = 0; b < kBoards; ++b) {
                const sim::SocketView now = FBoards[b]->Socket();
                if (FBoards[b]->PortPath() == port && now.seating == seatings[b] &&
                    !HoldsFile(now.flash)) {
                    Fail(port + ": Complete!, but the chip does not hold the file");
                }
            }
        }
    }

    // Checks how a run ended; whether its log or state could not be written.
    bool Ended(const std::string& name, int status, bool byItself, std::size_t rowsBefore,
               bool disk) {
        CheckErr(name);
        if (WIFSIGNALED(status)) {
            Fail(name + ": killed by signal " + std::to_string(WTERMSIG(status)));
            return true;
        }
        const int code = WEXITSTATUS(status);
        // A station stopped before it began (it said nothing yet) ends at once with 130.
        const bool stoppedAtStart = ReadFile(FOut).empty();
        if (FSettings.all) {
            // 4 when no board holds a chip, 5 when a board went, 130 stopped.
            if (code > 1 && code != 4 && code != 5 && code != 130) {
                Fail(name + ": exit status " + std::to_string(code) + ": " +
                     ReadFile(FErr).substr(0, 300));
            }
            return false;
        }
        // 0 only when every chip of the run passed (one stopped before its
        // write counts neither way), 1 when one failed or the numbers ran
        // out, 3 when the log or the state could not be written.
        const auto rows = LogRows();
        const std::size_t resultAt = rows.empty() ? 0 : Column(rows[0], "result");
        if (!rows.empty() && resultAt >= rows[0].size()) return code == 3;  // CheckLog tells
        int complete = 0, failed = 0;
        for (std::size_t i = std::max<std::size_t>(rowsBefore, 1); i < rows.size(); ++i) {
            if (rows[i].size() != rows[0].size()) continue;  // not whole: CheckLog tells
            const std::string result = Value(rows[i][resultAt]);
            complete += result == "Complete!";
            failed += result != "Complete!" && result != "Stopped!";
        }
        const bool usedUp = ReadFile(FErr).find("serial numbers used up") != std::string::npos;
        const bool expected = (code == 0 && failed == 0 && !usedUp) ||
                              (code == 1 && (failed > 0 || usedUp)) || (code == 3 && disk) ||
                              (code == 130 && stoppedAtStart);
        const bool mayEnd =
            usedUp || (code == 3 && disk) || (FRare.chips > 0 && complete == FRare.chips);
        if (!expected || (byItself && !mayEnd)) {
            Fail(name + (byItself ? ": ended by itself" : "") + " with exit status " +
                 std::to_string(code) + " after " + std::to_string(complete) + " chips passed, " +
                 std::to_string(failed) + " failed: " + ReadFile(FErr).substr(0, 300));
        }
        return code == 3;
    }

    void CheckErr(const std::string& name) {
        const std::string err = ReadFile(FErr);
        for (const char* sign : {"terminate called", "Sanitizer", "runtime error:"}) {
            if (err.find(sign) != std::string::npos) {
                const auto at = err.find(sign);
                Fail(name + ": " + err.substr(at, 200));
            }
        }
    }

    // The number in a chip, when all its digits are there.
    std::optional<std::uint32_t> Number(const std::vector<std::uint8_t>& flash) const {
        if (flash.size() < FSerialAt + kSerialDigits) return std::nullopt;
        std::uint32_t n = 0;
        for (std::size_t i = 0; i < kSerialDigits; ++i) {
            const std::uint8_t c = flash[FSerialAt + i];
            if (c < '0' || c > '9') return std::nullopt;
            n = n * 10 + (c - '0');
        }
        return n;
    }

    bool HoldsFile(const std::vector<std::uint8_t>& flash) const {
        return flash.size() >= FDataAt + FData.size() &&
               std::equal(FData.begin(), FData.end(), flash.begin() + FDataAt);
    }

    void CheckChips() {
        std::map<std::uint32_t, std::set<std::pair<int, std::uint64_t>>> holders;
        std::map<std::pair<int, std::uint64_t>, std::uint32_t> writes, most;
        for (const Look& look : FLooks) {
            const auto seating = std::make_pair(look.board, look.socket.seating);
            if (!look.socket.seated) continue;
            const std::string chip = "board " + std::to_string(look.board) + " seating " +
                                     std::to_string(look.socket.seating);
            const auto n = Number(look.socket.flash);
            if (n) holders[*n].insert(seating);
            if (n && !FUsed.contains(*n) && !FCuts.contains({look.board, look.socket.seating, *n}))
                Fail(chip + " holds " + std::to_string(*n) + ", but no row says it was used");
            most[seating] = std::max(most[seating], look.socket.writePasses);
            // A 2051/4051 board programs the chip seated at each Enter.
            if (FRare.chip2051 && look.board == kBoards - 1) continue;
            // The looks of a seating are at most one run of the station apart.
            auto [it, first] = writes.try_emplace(seating, 0);
            if (look.socket.writePasses > it->second + 1) {
                Fail(chip + ": programmed " + std::to_string(look.socket.writePasses - it->second) +
                     " times in one run of the station");
            }
            it->second = look.socket.writePasses;
        }
        // A finished chip (the file, and a number the log says is used) left
        // in at a start of the station is not programmed again.
        for (const Look& look : FLooks) {
            const auto n = Number(look.socket.flash);
            if (look.start && n && FUsed.contains(*n) && HoldsFile(look.socket.flash) &&
                !(FRare.chip2051 && look.board == kBoards - 1) &&
                most[{look.board, look.socket.seating}] > look.socket.writePasses) {
                Fail("board " + std::to_string(look.board) + " seating " +
                     std::to_string(look.socket.seating) + ": finished with " + std::to_string(*n) +
                     ", left in at a start of the station, and programmed again");
            }
        }
        for (const auto& [number, chips] : holders) {
            if (chips.size() < 2) continue;
            std::string where;
            for (const auto& [board, seating] : chips) {
                where += " board " + std::to_string(board) + "/seating " + std::to_string(seating);
            }
            Fail("number " + std::to_string(number) + " in " + std::to_string(chips.size()) +
                 " chips:" + where);
        }
    }

    void CheckLog() {
        const std::string text = ReadFile(FLog);
        bool whole = false;
        const auto rows = test::ReadCsv(text, whole);
        if (!whole) Fail("the log does not end in a whole row");
        if (rows.empty()) return;
        const auto& header = rows[0];
        const std::size_t serialAt = Column(header, "serial"), resultAt = Column(header, "result");
        const std::size_t chipAt = Column(header, "chip");
        // Whether the row's number was used or went back, where the log says so.
        const std::size_t usedAt = Column(header, "number");
        std::map<std::uint32_t, std::size_t> used;
        if (serialAt >= header.size() || resultAt >= header.size() || chipAt >= header.size()) {
            return Fail("the log's header has no serial, chip or result: " + text.substr(0, 100));
        }
        std::map<std::uint32_t, std::size_t> complete;  // number: its row
        for (std::size_t i = 1; i < rows.size(); ++i) {
            const auto& row = rows[i];
            const std::string where = "log row " + std::to_string(i);
            if (row.size() != header.size() || row[0].size() < 19 ||
                !std::isdigit(static_cast<unsigned char>(Value(row[0])[0]))) {
                Fail(where + " is not whole: " + std::to_string(row.size()) + " cells, first '" +
                     row[0].substr(0, 40) + "'");
                continue;
            }
            const std::string serial = Value(row[serialAt]);
            if (serial.empty()) continue;
            const auto number = static_cast<std::uint32_t>(std::stoul(serial));
            if (usedAt < row.size() && Value(row[usedAt]) == "used") {
                FUsed.insert(number);
                if (!used.emplace(number, i).second) {
                    Fail(where + ": number " + serial + " used again after row " +
                         std::to_string(used[number]));
                }
            }
            if (auto before = complete.find(number); before != complete.end()) {
                Fail(where + ": number " + serial + " handed out again after row " +
                     std::to_string(before->second) + " was Complete!");
            }
            if (Value(row[resultAt]) != "Complete!") continue;
            complete.emplace(number, i);
            // A 2051/4051 chip may be programmed again at the next Enter.
            if (Value(row[chipAt]).find("2051") != std::string::npos) continue;
            const bool held = std::any_of(FLooks.begin(), FLooks.end(), [&](const Look& look) {
                return look.socket.seated && Number(look.socket.flash) == number &&
                       HoldsFile(look.socket.flash);
            });
            if (!held)
                Fail(where + ": Complete! with " + serial + ", but no chip holds the file and it");
        }
        FRows = rows.size() - 1;
    }

    // The board answers a greeting with its banner and prompt.
    static bool Greets(sim::VirtualProgrammer& board) {
        const int fd = ::open(board.PortPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        std::string reply;
        bool answered = ::write(fd, "\r", 1) == 1;
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (answered) {
            const auto yarv = reply.find("Yarv");
            if (yarv != std::string::npos && reply.find('>', yarv) != std::string::npos) break;
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) answered = false;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return answered;
    }

    const std::uint64_t FSeed;
    const Settings& FSettings;
    std::mt19937_64 FDraw;
    std::mt19937_64 FRareDraw;
    RareFaults FRare;
    std::string FRareNames;
    test::TempDir FDir{"corvane-campaign"};
    const std::string FMap = FDir.File("serialcomm");
    std::string FFile;
    const std::string FLog = FDir.File("log.csv");
    std::string FOut, FErr;
    std::vector<std::jthread> FDrains;  // copy the station's output into FOut and FErr
    std::vector<std::uint8_t> FData;
    std::size_t FDataAt = 0, FSerialAt = 0;  // where the file's bytes and the number begin
    std::uint64_t FStart = kFirstSerial;
    std::mutex FMutex;
    std::vector<Look> FLooks;  // also written by the drivers' threads
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> FBoards;
    std::vector<std::unique_ptr<sim::FaultDriver>> FDrivers;  // after the boards: stopped first
    std::vector<bool> FKept = std::vector<bool>(kBoards);     // left in a pass by a kill
    // Board, seating and number of chips that may lack their rows (Cut).
    std::set<std::tuple<int, std::uint64_t, std::uint32_t>> FCuts;
    std::set<std::uint32_t> FUsed;  // the numbers that the log says are in chips
    std::vector<std::string> FFailures;
    int FRuns = 0;
    std::size_t FTakenOut = 0;
    std::size_t FRows = 0;
    double FLongestStop = 0;
};

int Usage() {
    std::fputs(
        "Usage: campaign [--seed N]... [--soak SECONDS] [--length MS] [--stop-limit MS]\n"
        "                [--cli PATH] [--keep DIR] [--all]\n"
        "Runs corvane-cli station against four misbehaving virtual programmers for\n"
        "each seed (--seed, repeatable), or for new seeds until SECONDS have passed\n"
        "(--soak), and checks the station's promises after each. A failing seed\n"
        "prints the command that replays it; --keep keeps each seed's log and the\n"
        "station's output in DIR/seed-N; --all runs program --all instead of the\n"
        "station. Exit status 1 when any seed failed.\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // The stations started inherit it: a write beyond a file size limit fails.
    signal(SIGXFSZ, SIG_IGN);
    Settings settings;
    std::vector<std::uint64_t> seeds;
    std::optional<std::chrono::seconds> soak;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        try {
            if (arg == "--seed" && hasValue) {
                seeds.push_back(std::stoull(argv[++i]));
            } else if (arg == "--soak" && hasValue) {
                soak = std::chrono::seconds(std::stoul(argv[++i]));
            } else if (arg == "--length" && hasValue) {
                settings.length = milliseconds(std::stoul(argv[++i]));
            } else if (arg == "--stop-limit" && hasValue) {
                settings.stopLimit = milliseconds(std::stoul(argv[++i]));
            } else if (arg == "--all") {
                settings.all = true;
            } else if (arg == "--keep" && hasValue) {
                settings.keep = argv[++i];
            } else if (arg == "--cli" && hasValue) {
                settings.cli = argv[++i];
            } else {
                return Usage();
            }
        } catch (const std::exception&) {
            return Usage();
        }
    }
    if (seeds.empty() && !soak) return Usage();
    const std::string self = std::filesystem::absolute(argv[0]).string();
    const auto start = Clock::now();
    std::mt19937_64 fresh(std::random_device{}());
    int failed = 0, done = 0;
    for (std::size_t i = 0; i < seeds.size() || (soak && Clock::now() - start < *soak); ++i) {
        const std::uint64_t seed = i < seeds.size() ? seeds[i] : fresh() % 1000000000;
        const auto t0 = Clock::now();
        Seed run(seed, settings);
        std::vector<std::string> failures;
        try {
            failures = run.Run();
        } catch (const std::exception& e) {
            failures.push_back(std::string("campaign: ") + e.what());
        }
        ++done;
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("seed %llu: %s in %.1f s (%s)\n", static_cast<unsigned long long>(seed),
                    failures.empty() ? "passed" : "FAILED", took, run.Summary().c_str());
        for (const auto& f : failures) std::printf("  %s\n", f.c_str());
        if (!failures.empty()) {
            ++failed;
            std::printf("%s", run.Dialects().c_str());
            std::printf("  replay: %s%s --seed %llu --length %lld --cli %s\n", self.c_str(),
                        settings.all ? " --all" : "", static_cast<unsigned long long>(seed),
                        static_cast<long long>(settings.length.count()), settings.cli.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("%d of %d seeds failed\n", failed, done);
    return failed > 0 ? 1 : 0;
}
