// corvane-cli stopped by Ctrl+C, SIGTERM or a closed terminal, and run again
// after a failed pass, against a board that waits for every byte of a pass as
// a real one does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "CliOptions.h"
#include "CliRunner.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

// corvane-cli started in the background: standard output and error in
// files, or on a pseudo-terminal that is the controlling terminal of a session
// of its own (as a terminal window or an ssh connection gives one).
class CliProcess {
public:
    CliProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               const std::string& dir, bool onTerminal)
        : FOut(dir + "/bg.out"), FErr(dir + "/bg.err") {
        std::vector<std::string> envText = EnvironmentWith(env);
        std::vector<char*> envp = Pointers(envText);
        std::vector<std::string> argText{CORVANE_CLI_PATH};
        argText.insert(argText.end(), args.begin(), args.end());
        std::vector<char*> argv = Pointers(argText);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        int slave = -1;
        if (onTerminal) {
            char name[128];
            if (openpty(&FMaster, &slave, nullptr, nullptr, nullptr) != 0 ||
                ptsname_r(FMaster, name, sizeof name) != 0) {
                throw std::system_error(errno, std::generic_category(), "openpty");
            }
            // Opened by the leader of a new session, the terminal becomes its
            // controlling terminal.
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
            posix_spawn_file_actions_addclose(&actions, FMaster);
            posix_spawn_file_actions_addclose(&actions, slave);
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, name, O_RDWR, 0);
            posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, FOut.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, FErr.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        const int rc = posix_spawn(&FPid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (slave >= 0) close(slave);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn");
        if (FMaster >= 0) fcntl(FMaster, F_SETFL, O_NONBLOCK);
    }
    ~CliProcess() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            Wait();
        }
        HangUp();
    }
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    void Signal(int signal) { kill(FPid, signal); }
    std::string ErrSoFar() const { return ReadFile(FErr); }

    // The terminal: what the program wrote so far is read (so that it never
    // waits on a full terminal), keys are typed, the terminal is closed.
    void ReadTerminal() {
        char buf[4096];
        ssize_t n = 0;
        while (FMaster >= 0 && (n = read(FMaster, buf, sizeof buf)) > 0) {
            FTerminal.append(buf, static_cast<std::size_t>(n));
        }
    }
    void Type(const std::string& keys) {
        ASSERT_EQ(write(FMaster, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    void HangUp() {
        if (FMaster >= 0) close(FMaster);
        FMaster = -1;
    }

    // Whether the program takes Ctrl+C itself by now.
    bool TakesSignals() const {
        std::ifstream status("/proc/" + std::to_string(FPid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("SigBlk:") &&
                (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGINT - 1))) != 0) {
                return true;
            }
        }
        return false;
    }

    // Whether the program has ended (Wait then gives how).
    bool Ended() {
        if (!FEnded) FEnded = waitpid(FPid, &FWaitStatus, WNOHANG) == FPid;
        return FEnded;
    }

    // Output and error are one on a terminal.
    CliResult Wait() {
        while (!FEnded && waitpid(FPid, &FWaitStatus, 0) < 0 && errno == EINTR) {
        }
        FPid = -1;
        FEnded = false;
        CliResult result;
        result.status =
            WIFEXITED(FWaitStatus) ? WEXITSTATUS(FWaitStatus) : 128 + WTERMSIG(FWaitStatus);
        if (FMaster >= 0) {
            // Everything the program wrote, up to the end of the terminal (EIO).
            fcntl(FMaster, F_SETFL, 0);
            ReadTerminal();
            result.out = FTerminal;
            return result;
        }
        result.out = ReadFile(FOut);
        result.err = ReadFile(FErr);
        return result;
    }

private:
    std::string FOut, FErr;
    std::string FTerminal;
    int FMaster = -1;
    pid_t FPid = -1;
    bool FEnded = false;
    int FWaitStatus = 0;
};

template <typename TCondition>
bool WaitFor(TCondition condition, std::chrono::seconds timeout = 60s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::vector<std::uint8_t> Pattern(std::size_t count, unsigned seed) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + seed) % 255);
    return bytes;
}

bool BlankFrom(const std::vector<std::uint8_t>& flash, std::size_t from) {
    return std::all_of(flash.begin() + static_cast<long>(from), flash.end(),
                       [](std::uint8_t b) { return b == 0xFF; });
}

class CliStopTest : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(FMap);
        std::filesystem::create_directory(FTmp);
    }

    std::unique_ptr<sim::VirtualProgrammer> Board(sim::BoardOptions options) {
        auto board = std::make_unique<sim::VirtualProgrammer>(std::move(options));
        board->Start();
        board->Announce(FMap, "board");
        return board;
    }
    std::string HexFile(const std::string& name, const std::vector<std::uint8_t>& bytes,
                        std::uint16_t size) {
        THexFile image;
        image.SetMemSize(size);
        image.Clear();
        for (std::size_t i = 0; i < bytes.size(); ++i)
            image.SetByte(static_cast<std::uint16_t>(i), bytes[i]);
        const std::string path = FDir.File(name);
        image.SaveHex(path);
        return path;
    }
    std::map<std::string, std::string> Env() const {
        return {{"CORVANE_SERIALCOMM", FMap}, {"TMPDIR", FTmp}};
    }
    CliResult Cli(const std::vector<std::string>& args) { return RunCli(args, Env(), FDir.Path()); }
    std::unique_ptr<CliProcess> Start(const std::vector<std::string>& args,
                                      bool onTerminal = false) {
        return std::make_unique<CliProcess>(args, Env(), FDir.Path(), onTerminal);
    }
    // Waits until the board has been sent `bytes` data bytes of its write
    // pass, reading the terminal of `run` meanwhile.
    static bool WaitForWritten(const sim::VirtualProgrammer& board, std::uint64_t bytes,
                               CliProcess* run = nullptr) {
        return WaitFor([&] {
            if (run != nullptr) run->ReadTerminal();
            const auto log = board.CommandLog();
            if (log.empty() || log.back() != "w") return false;
            std::uint64_t commands = 0;
            for (const auto& entry : log) commands += entry.size();
            return board.BytesReceived() >= commands + bytes;
        });
    }
    // A stopped write of `total` bytes: what was written before the stop
    // stays, the rest was finished with 0xFF, and the next run finds the board
    // at its prompt.
    void ExpectPassFinished(sim::VirtualProgrammer& board, std::size_t atLeast, std::size_t total) {
        const auto flash = board.Flash();
        const auto written =
            static_cast<std::size_t>(std::find(flash.begin(), flash.end(), 0xFF) - flash.begin());
        EXPECT_GE(written, atLeast);
        EXPECT_LT(written, total);
        EXPECT_TRUE(BlankFrom(flash, written));

        board.ClearCommandLog();
        CliResult detect = Cli({"detect"});
        EXPECT_EQ(detect.status, cli::esComplete) << detect.err;
        EXPECT_EQ(board.CommandLog(), (std::vector<std::string>{"\r", "p"}));
    }
    bool ScratchDirsLeft() const { return !std::filesystem::is_empty(FTmp); }

    TempDir FDir;
    std::string FMap = FDir.File("serialcomm");
    std::string FTmp = FDir.File("tmp");
};

TEST_F(CliStopTest, AfterAWriteThatFailedTheNextRunFindsTheBoardAndPrograms) {
    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("52");
    options.faults.xonGlitchAt = 3000;
    auto board = Board(options);

    CliResult first = Cli({"program", HexFile("a.hex", Pattern(8192, 1), 8192)});
    EXPECT_EQ(first.status, cli::esFailedStep) << first.err;
    EXPECT_EQ(first.err, "corvane-cli: Write Failed!\n");
    EXPECT_TRUE(BlankFrom(board->Flash(), 2999));

    const auto second = Pattern(8192, 2);
    CliResult again = Cli({"program", HexFile("b.hex", second, 8192)});
    EXPECT_EQ(again.status, cli::esComplete) << again.err;
    EXPECT_EQ(board->Flash(), second);
}

TEST_F(CliStopTest, CtrlCFinishesTheWritePassAndTheNextRunFindsTheBoard) {
    sim::BoardOptions options;
    options.baud = 38400;  // the pass lasts long enough to be stopped
    auto board = Board(options);
    auto run = Start({"program", HexFile("a.hex", Pattern(4096, 3), 4096)});
    ASSERT_TRUE(WaitForWritten(*board, 300));
    run->Signal(SIGINT);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: Stopping... finishing the board's pass"));
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: Stopped!\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("reset")));
    EXPECT_THAT(r.out, Not(HasSubstr("Verify")));
    ExpectPassFinished(*board, 300, 4096);
}

TEST_F(CliStopTest, ClosingItsTerminalFinishesTheWritePassThenEndsWith129) {
    sim::BoardOptions options;
    options.baud = 38400;
    auto board = Board(options);
    auto run = Start({"program", HexFile("a.hex", Pattern(2048, 5), 2048)}, true);
    ASSERT_TRUE(WaitForWritten(*board, 300, run.get()));
    // The terminal window closes: the kernel hangs up the terminal and sends
    // SIGHUP; a shell passes one on as well.
    run->HangUp();
    run->Signal(SIGHUP);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 129);
    ExpectPassFinished(*board, 300, 2048);
}

TEST_F(CliStopTest, SigtermDuringAReadSavesNothing) {
    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("52");
    options.baud = 38400;
    auto board = Board(options);
    const std::string out = FDir.File("out.hex");
    auto run = Start({"read", out});
    ASSERT_TRUE(WaitFor([&] { return board->BytesSent() > 2000; }));
    run->Signal(SIGTERM);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 143) << r.err;
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: Stopped!\n"));
    EXPECT_FALSE(std::filesystem::exists(out));

    board->ClearCommandLog();
    CliResult detect = Cli({"detect"});
    EXPECT_EQ(detect.status, cli::esComplete) << detect.err;
    EXPECT_EQ(board->CommandLog(), (std::vector<std::string>{"\r", "p"}));
}

TEST_F(CliStopTest, SecondCtrlCExitsAtOnceAndSaysTheBoardMayNeedAReset) {
    sim::BoardOptions options;
    options.baud = 9600;  // the rest of the pass would take seconds
    auto board = Board(options);
    // --port: a scratch directory holds the device map of the one port.
    auto run =
        Start({"program", "--port", board->PortPath(), HexFile("a.hex", Pattern(4096, 4), 4096)});
    ASSERT_TRUE(WaitForWritten(*board, 20));
    run->Signal(SIGINT);
    ASSERT_TRUE(WaitFor([&] { return run->ErrSoFar().find("Stopping...") != std::string::npos; }));
    run->Signal(SIGINT);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: exiting at once: the programmer board may need a "
                                 "reset\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("Stopped!")));
    EXPECT_FALSE(ScratchDirsLeft());
}

// Ctrl+C typed, SIGTERM or SIGHUP while `program -` waits for the HEX text
// from the terminal: no port is open, so the program ends at once.
TEST_F(CliStopTest, StopWhileWaitingForTheFileOnTheTerminalEndsAtOnce) {
    struct Case {
        const char* name;
        std::function<void(CliProcess&)> stop;
        int status;
    };
    const Case cases[] = {
        {"Ctrl+C", [](CliProcess& run) { run.Type("\x03"); }, 130},
        {"SIGTERM", [](CliProcess& run) { run.Signal(SIGTERM); }, 143},
        {"SIGHUP", [](CliProcess& run) { run.Signal(SIGHUP); }, 129},
    };
    auto board = Board({});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = Start({"program", "-"}, true);
        run->Type(":0400000001020304F2\n");  // a line of the text, not yet its end
        ASSERT_TRUE(WaitFor([&] { return run->TakesSignals(); }));
        c.stop(*run);
        ASSERT_TRUE(WaitFor([&] { return run->Ended(); }, 20s));
        CliResult r = run->Wait();
        EXPECT_EQ(r.status, c.status);
        EXPECT_THAT(r.out, Not(HasSubstr("Stopping")));
        EXPECT_THAT(r.out, Not(HasSubstr("reset")));
        EXPECT_FALSE(ScratchDirsLeft());
    }
    EXPECT_TRUE(board->CommandLog().empty());
}

TEST_F(CliStopTest, CtrlCWhileLookingForTheProgrammerEndsAtOnce) {
    sim::BoardOptions options;
    options.faults.noAnswerToP = true;  // the chip query waits 30 s
    auto board = Board(options);
    auto run = Start({"detect"});
    ASSERT_TRUE(board->WaitForCommands(2, 60s));
    run->Signal(SIGINT);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: Stopped!\n"));
}

TEST_F(CliStopTest, CtrlCDuringAReadToStandardOutputWritesNothing) {
    sim::BoardOptions options;
    options.baud = 38400;
    auto board = Board(options);
    auto run = Start({"read", "-"});
    ASSERT_TRUE(WaitFor([&] { return board->BytesSent() > 2000; }));
    run->Signal(SIGINT);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: Stopped!\n"));
    EXPECT_EQ(r.out, "");

    board->ClearCommandLog();
    CliResult detect = Cli({"detect"});
    EXPECT_EQ(detect.status, cli::esComplete) << detect.err;
    EXPECT_EQ(board->CommandLog(), (std::vector<std::string>{"\r", "p"}));
}

}  // namespace
}  // namespace corvane::test
