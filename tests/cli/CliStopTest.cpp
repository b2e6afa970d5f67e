// corvane-cli stopped by Ctrl+C or SIGTERM, and run again after a failed
// pass, against a board that waits for every byte of a pass as a real one
// does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
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

// corvane-cli started in the background, standard output and error in files.
class CliProcess {
public:
    CliProcess(const std::vector<std::string>& args, const std::string& map, const std::string& dir)
        : FOut(dir + "/bg.out"), FErr(dir + "/bg.err") {
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("CORVANE_SERIALCOMM=", 0) != 0) envText.emplace_back(*e);
        }
        envText.push_back("CORVANE_SERIALCOMM=" + map);
        std::vector<char*> envp;
        for (auto& entry : envText) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::vector<std::string> argText{CORVANE_CLI_PATH};
        argText.insert(argText.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : argText) argv.push_back(arg.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, FOut.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, FErr.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int rc = posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn");
    }
    ~CliProcess() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            Wait();
        }
    }
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    void Signal(int signal) { kill(FPid, signal); }
    std::string ErrSoFar() const { return ReadFile(FErr); }
    CliResult Wait() {
        int wstatus = 0;
        while (waitpid(FPid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        FPid = -1;
        CliResult result;
        result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        result.out = ReadFile(FOut);
        result.err = ReadFile(FErr);
        return result;
    }

private:
    std::string FOut, FErr;
    pid_t FPid = -1;
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
    void SetUp() override { std::filesystem::create_directory(FMap); }

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
    CliResult Cli(const std::vector<std::string>& args) {
        return RunCli(args, {{"CORVANE_SERIALCOMM", FMap}}, FDir.Path());
    }
    std::unique_ptr<CliProcess> Start(const std::vector<std::string>& args) {
        return std::make_unique<CliProcess>(args, FMap, FDir.Path());
    }
    // Waits until the board has been sent `bytes` data bytes of its write pass.
    static bool WaitForWritten(const sim::VirtualProgrammer& board, std::uint64_t bytes) {
        return WaitFor([&] {
            const auto log = board.CommandLog();
            if (log.empty() || log.back() != "w") return false;
            std::uint64_t commands = 0;
            for (const auto& entry : log) commands += entry.size();
            return board.BytesReceived() >= commands + bytes;
        });
    }

    TempDir FDir;
    std::string FMap = FDir.File("serialcomm");
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
    // What was written before the stop stays; the rest was finished with 0xFF.
    const auto flash = board->Flash();
    const auto written =
        static_cast<std::size_t>(std::find(flash.begin(), flash.end(), 0xFF) - flash.begin());
    EXPECT_GE(written, 300u);
    EXPECT_LT(written, 4096u);
    EXPECT_TRUE(BlankFrom(flash, written));

    board->ClearCommandLog();
    CliResult detect = Cli({"detect"});
    EXPECT_EQ(detect.status, cli::esComplete) << detect.err;
    EXPECT_EQ(board->CommandLog(), (std::vector<std::string>{"\r", "p"}));
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
    auto run = Start({"program", HexFile("a.hex", Pattern(4096, 4), 4096)});
    ASSERT_TRUE(WaitForWritten(*board, 20));
    run->Signal(SIGINT);
    ASSERT_TRUE(WaitFor([&] { return run->ErrSoFar().find("Stopping...") != std::string::npos; }));
    run->Signal(SIGINT);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: exiting at once: the programmer board may need a "
                                 "reset\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("Stopped!")));
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
