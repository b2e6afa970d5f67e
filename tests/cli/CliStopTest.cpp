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

// Handshake bytes lost on the line. A lost XON: the write fails, the rest of
// the pass is sent blindly as 0xFF, and the board is found at its prompt (no
// greeting is written into the chip). The XOFF of the last byte lost: the
// prompt in its place ends a write that went through.
TEST_F(CliStopTest, LostHandshakeBytesLeaveTheBoardAtItsPrompt) {
    const auto bytes = Pattern(8192, 4);
    const std::string file = HexFile("a.hex", bytes, 8192);
    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("52");
    {
        options.faults.xonDropAt = 100;
        auto board = Board(options);
        CliResult r = Cli({"program", file});
        EXPECT_EQ(r.status, cli::esFailedStep) << r.err;
        EXPECT_EQ(r.err, "corvane-cli: Write Failed!\n");
        for (int i = 0; i < 2; ++i) EXPECT_EQ(Cli({"detect"}).status, cli::esComplete);
        EXPECT_TRUE(BlankFrom(board->Flash(), 99));
    }
    options.faults = {};
    options.faults.xoffDropAt = 8192;
    auto board = Board(options);
    CliResult r = Cli({"program", file});
    EXPECT_EQ(r.status, cli::esComplete) << r.err;
    EXPECT_EQ(board->Flash(), bytes);
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
