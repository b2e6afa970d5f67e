// The station's fault campaign: for each seed, four virtual programmers, each
// wording its replies in a dialect of its own, that misbehave as the seed
// draws (lost and late replies, lost handshake bytes, failed erases, a cell
// that never programs, the line unplugged, replies damaged or cut short, a USB
// adapter's latency, chips taken out and seated at random moments) run under
// the real corvane-cli station, which is stopped with Ctrl+C or killed at
// random moments and started again. Every chip taken out is looked at. After
// the seed the station's promises are checked: no number in two chips or
// handed out twice in the log, no seating programmed twice in one run of the
// station, every "Complete!" chip holding the file and its number, whole rows,
// every board at its prompt, no abort, and a Ctrl+C that ends the station
// within the passes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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
#include <string>
#include <thread>
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

// One look at a socket: at each start of the station, at its end, and when
// the chip is taken out.
struct Look {
    int board;
    sim::SocketView socket;
};

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
        : FSeed(seed), FSettings(settings), FDraw(seed) {}

    // The failures found; none when the seed passed.
    std::vector<std::string> Run() {
        Prepare();
        const auto end = Clock::now() + FSettings.length;
        for (int run = 0; Clock::now() < end || run == 0; ++run) {
            const bool last = Clock::now() + milliseconds(1500) >= end;
            RunStation(run, last);
        }
        for (auto& driver : FDrivers) driver->Stop();
        for (auto& board : FBoards) board->SetFaults({});
        LookAtSockets();
        for (int b = 0; b < kBoards; ++b) {
            if (!Greets(*FBoards[b]))
                Fail("board " + std::to_string(b) + " does not answer a greeting");
        }
        CheckChips();
        CheckLog();
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
        return text;
    }

private:
    void Fail(const std::string& why) { FFailures.push_back(why); }

    std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
        return low + FDraw() % (high - low + 1);
    }

    void Prepare() {
        std::filesystem::create_directory(FMap);
        std::filesystem::create_directory(FDir.File("tmp"));
        // Bytes that are never 0xFF, so the whole run is written; the number
        // right behind them, the last bytes of the pass.
        FData.resize(Between(150, 600));
        for (std::size_t i = 0; i < FData.size(); ++i) {
            FData[i] = static_cast<std::uint8_t>((i * 7 + FSeed) % 255);
        }
        THexFile image;
        image.SetMemSize(4096);
        image.Clear();
        for (std::size_t i = 0; i < FData.size(); ++i) {
            image.SetByte(static_cast<std::uint16_t>(i), FData[i]);
        }
        image.SaveHex(FFile);
        static constexpr unsigned kBauds[] = {0, 0, 19200, 38400};
        for (int b = 0; b < kBoards; ++b) {
            sim::BoardOptions options;
            options.chip = sim::ChipFromCode(FDraw() % 2 != 0 ? "51" : "52");
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

    void LookAtSockets() {
        std::lock_guard lock(FMutex);
        for (int b = 0; b < kBoards; ++b) FLooks.push_back({b, FBoards[b]->Socket()});
    }

    pid_t Spawn(int run) {
        std::vector<std::string> args{
            FSettings.cli,
            "station",
            FFile,
            "--serial",
            std::to_string(FData.size()) + "=" + std::to_string(kFirstSerial),
            "--serial-format",
            "ascii:" + std::to_string(kSerialDigits),
            "--log",
            FLog};
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
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        FOut = FDir.File("out" + std::to_string(run));
        posix_spawn_file_actions_addopen(&actions, 1, FOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, FErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        // The station gets the signals as from a terminal, also when the
        // campaign was started in the background, where Ctrl+C is ignored.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        test::SignalsAsFromATerminal(attributes);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (rc != 0) throw std::runtime_error(FSettings.cli + ": " + std::strerror(rc));
        return pid;
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
        LookAtSockets();
        std::vector<std::uint64_t> seatings;
        for (const auto& board : FBoards) seatings.push_back(board->Socket().seating);
        struct Checked {
            Seed& seed;
            const std::vector<std::uint64_t>& seatings;
            ~Checked() {
                if (seed.FSettings.all) seed.CheckAllComplete(seatings);
            }
        } checked{*this, seatings};
        const pid_t pid = Spawn(run);
        const std::string name = "run " + std::to_string(run);
        const auto ready = Clock::now() + std::chrono::seconds(20);
        while (!TakesSignals(pid) && Clock::now() < ready)
            std::this_thread::sleep_for(milliseconds(2));
        if (auto status = Reap(pid, milliseconds(Between(300, 4000)))) {
            if (!FSettings.all) Fail(name + ": the station ended by itself");
            Ended(name, *status);
            return;
        }
        const bool kill = !last && FDraw() % 3 == 0;
        if (kill) {
            Kill(pid);
            CheckErr(name);
            return;
        }
        const auto asked = Clock::now();
        ::kill(pid, SIGINT);
        auto status = Reap(pid, FSettings.stopLimit);
        const double took = std::chrono::duration<double>(Clock::now() - asked).count();
        FLongestStop = std::max(FLongestStop, took);
        if (!status) {
            Fail(name + ": Ctrl+C did not end the station within " +
                 std::to_string(FSettings.stopLimit.count() / 1000) + " s (its threads: stacks" +
                 std::to_string(run) + ")");
            Stacks(pid, FDir.File("stacks" + std::to_string(run)));
            Kill(pid);
            return;
        }
        Ended(name + " after Ctrl+C", *status);
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
        // operator switches it off and on.
        for (auto& board : FBoards) {
            if (board->InWritePass()) {
                board->Unplug();
                board->Plug();
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

    void Ended(const std::string& name, int status) {
        // program --all: 4 when no board holds a chip, 5 when a board went, 130 stopped.
        // A station stopped before it began (it said nothing yet) ends at once with 130.
        const bool stoppedAtStart = ReadFile(FOut).empty();
        const bool expected =
            WIFEXITED(status) &&
            (WEXITSTATUS(status) <= 1 || (stoppedAtStart && WEXITSTATUS(status) == 130) ||
             (FSettings.all && (WEXITSTATUS(status) == 4 || WEXITSTATUS(status) == 5 ||
                                WEXITSTATUS(status) == 130)));
        if (WIFSIGNALED(status)) {
            Fail(name + ": killed by signal " + std::to_string(WTERMSIG(status)));
        } else if (!expected) {
            Fail(name + ": exit status " + std::to_string(WEXITSTATUS(status)) + ": " +
                 ReadFile(FErr).substr(0, 300));
        }
        CheckErr(name);
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
        if (flash.size() < FData.size() + kSerialDigits) return std::nullopt;
        std::uint32_t n = 0;
        for (std::size_t i = 0; i < kSerialDigits; ++i) {
            const std::uint8_t c = flash[FData.size() + i];
            if (c < '0' || c > '9') return std::nullopt;
            n = n * 10 + (c - '0');
        }
        return n;
    }

    bool HoldsFile(const std::vector<std::uint8_t>& flash) const {
        return flash.size() >= FData.size() &&
               std::equal(FData.begin(), FData.end(), flash.begin());
    }

    void CheckChips() {
        std::map<std::uint32_t, std::set<std::pair<int, std::uint64_t>>> holders;
        std::map<std::pair<int, std::uint64_t>, std::uint32_t> writes;
        for (const Look& look : FLooks) {
            const auto seating = std::make_pair(look.board, look.socket.seating);
            if (!look.socket.seated) continue;
            if (auto n = Number(look.socket.flash)) holders[*n].insert(seating);
            // The looks of a seating are at most one run of the station apart.
            auto [it, first] = writes.try_emplace(seating, 0);
            if (look.socket.writePasses > it->second + 1) {
                Fail("board " + std::to_string(look.board) + " seating " +
                     std::to_string(look.socket.seating) + ": programmed " +
                     std::to_string(look.socket.writePasses - it->second) +
                     " times in one run of the station");
            }
            it->second = look.socket.writePasses;
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
        const auto column = [&](const char* name) {
            return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) -
                                            header.begin());
        };
        const std::size_t serialAt = column("serial"), resultAt = column("result");
        // Whether the row's number was used or went back, where the log says so.
        const std::size_t usedAt = column("number");
        std::map<std::uint32_t, std::size_t> used;
        if (serialAt >= header.size() || resultAt >= header.size()) {
            return Fail("the log's header has no serial or result: " + text.substr(0, 100));
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
            if (usedAt < row.size() && Value(row[usedAt]) == "used" &&
                !used.emplace(number, i).second) {
                Fail(where + ": number " + serial + " used again after row " +
                     std::to_string(used[number]));
            }
            if (auto before = complete.find(number); before != complete.end()) {
                Fail(where + ": number " + serial + " handed out again after row " +
                     std::to_string(before->second) + " was Complete!");
            }
            if (Value(row[resultAt]) != "Complete!") continue;
            complete.emplace(number, i);
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
    test::TempDir FDir{"corvane-campaign"};
    const std::string FMap = FDir.File("serialcomm");
    const std::string FFile = FDir.File("a.hex");
    const std::string FLog = FDir.File("log.csv");
    std::string FOut, FErr;
    std::vector<std::uint8_t> FData;
    std::mutex FMutex;
    std::vector<Look> FLooks;  // also written by the drivers' threads
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> FBoards;
    std::vector<std::unique_ptr<sim::FaultDriver>> FDrivers;  // after the boards: stopped first
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
