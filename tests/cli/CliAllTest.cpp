// corvane-cli --all: a command on every programmer that answers, each board
// on its own thread, against several virtual programmers at once.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <regex>

#include "CliFixture.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

using TBoards = std::vector<std::unique_ptr<sim::VirtualProgrammer>>;

class CliAllTest : public CliTest {
protected:
    // Boards announced as b0, b1 ... in the order given.
    TBoards Boards(const std::vector<sim::BoardOptions>& options) {
        TBoards boards;
        for (const sim::BoardOptions& o : options) {
            boards.push_back(Board(o, "b" + std::to_string(boards.size())));
        }
        return boards;
    }
    std::unique_ptr<CliProcess> Start(const std::vector<std::string>& args) {
        return std::make_unique<CliProcess>(args, Env(), FDir.Path(), false);
    }
};

// The summary's row of `port`: port, chip, result, time (and checksum).
std::string Row(const std::string& out, const std::string& port) {
    const std::regex row("(^|\n)(" + port + "  [^\n]*)");
    std::smatch match;
    return std::regex_search(out, match, row) ? match[2].str() : "";
}

bool Starts(const std::vector<std::uint8_t>& flash, const std::vector<std::uint8_t>& bytes) {
    return flash.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), flash.begin());
}

// The trace file of the board on `port`: the port's name with '/' made '_'.
std::string TracePath(const std::string& trace, std::string port) {
    std::replace(port.begin(), port.end(), '/', '_');
    return trace + "." + port;
}

// The file's checksum as the board's 'c' answers it: the 16-bit sum negated.
std::string Checksum(const std::vector<std::uint8_t>& bytes) {
    const unsigned sum = std::accumulate(bytes.begin(), bytes.end(), 0u);
    char text[8];
    std::snprintf(text, sizeof text, "%04X", (0x10000 - (sum & 0xFFFF)) & 0xFFFF);
    return text;
}

TEST_F(CliAllTest, EveryBoardIsProgrammedAndTracedInAFileOfItsOwn) {
    sim::BoardOptions silent;
    silent.faults.silent = true;
    auto boards =
        Boards({WithChip(sim::ChipFromCode("52")), silent, {}, WithChip(sim::Chip2051(2048))});
    const auto bytes = Pattern(600);
    const std::string trace = FDir.File("line.txt");
    CliResult r = Cli({"program", "--all", HexFile("a.hex", bytes), "--trace", trace});
    EXPECT_EQ(r.status, cli::esComplete) << r.out << r.err;
    EXPECT_EQ(r.err, "");

    const std::string checksum = Checksum(bytes);
    ASSERT_NE(checksum, "0000");
    for (std::size_t i : {0u, 2u, 3u}) {
        const std::string port = boards[i]->PortPath();
        SCOPED_TRACE(port);
        EXPECT_TRUE(Starts(boards[i]->Flash(), bytes));
        // Each step on a line of its own that begins with the port.
        EXPECT_THAT(r.out, HasSubstr(port + ": Writing... [600 Bytes]\n"));
        EXPECT_THAT(r.out, HasSubstr(port + ": Complete!\n"));
        // A 2051/4051 has no checksum command.
        EXPECT_THAT(Row(r.out, port), testing::MatchesRegex(".*  Complete!  +[0-9.]+ s  " +
                                                            std::string(i == 3 ? "-" : checksum)));
        const std::string lines = ReadFile(TracePath(trace, port));
        EXPECT_THAT(lines, HasSubstr(" TX 77 w\n"));
    }
    EXPECT_EQ(Row(r.out, boards[1]->PortPath()), "");
    EXPECT_THAT(r.out, HasSubstr("\nport  "));
    // The search, the silent port's greeting among it, goes into the file named.
    EXPECT_THAT(ReadFile(trace), HasSubstr("open " + boards[1]->PortPath()));
    EXPECT_FALSE(std::filesystem::exists(TracePath(trace, boards[1]->PortPath())));
}

// The exit status is the highest of the boards' when any did not complete.
TEST_F(CliAllTest, ABoardThatFailsIsNamedWhileTheOthersAreProgrammed) {
    struct Case {
        const char* name;
        sim::BoardOptions odd;
        const char* result;
        int status;
    };
    sim::BoardOptions eraseFails;
    eraseFails.faults.eraseFailures = 10;
    const Case cases[] = {
        {"erase fails", eraseFails, "Erase Failed!", cli::esFailedStep},
        {"empty socket", WithChip(sim::ChipFromCode("00")), "no chip that is known",
         cli::esNoProgrammer},
    };
    const auto bytes = Pattern(300);
    const std::string file = HexFile("a.hex", bytes);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto boards = Boards({{}, c.odd, {}, eraseFails});
        CliResult r = Cli({"program", "--all", file});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_THAT(Row(r.out, boards[1]->PortPath()), HasSubstr(c.result));
        EXPECT_THAT(Row(r.out, boards[3]->PortPath()), HasSubstr("Erase Failed!"));
        for (std::size_t i : {0u, 2u}) {
            EXPECT_TRUE(Starts(boards[i]->Flash(), bytes));
            EXPECT_THAT(Row(r.out, boards[i]->PortPath()), HasSubstr("  Complete!  "));
        }
        EXPECT_FALSE(Starts(boards[3]->Flash(), bytes));
    }
}

TEST_F(CliAllTest, CtrlCStopsEveryBoardAndLeavesEachAtItsPrompt) {
    sim::BoardOptions paced;
    paced.baud = 38400;  // the passes last long enough to be stopped
    auto boards = Boards({paced, paced, paced});
    const auto bytes = Pattern(4000);
    auto run = Start({"program", "--all", HexFile("a.hex", bytes)});
    for (const auto& board : boards) {
        ASSERT_TRUE(WaitFor([&] { return board->BytesReceived() > 500; }));
    }
    run->Signal(SIGINT);
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("Stopping..."));
    for (const auto& board : boards) {
        SCOPED_TRACE(board->PortPath());
        EXPECT_THAT(Row(r.out, board->PortPath()), HasSubstr("  Stopped!  "));
        // What was written stays, the rest of the pass was finished with FF.
        const auto flash = board->Flash();
        const auto written = std::mismatch(bytes.begin(), bytes.end(), flash.begin()).first;
        EXPECT_TRUE(std::all_of(flash.begin() + (written - bytes.begin()), flash.end(),
                                [](std::uint8_t b) { return b == 0xFF; }));
        EXPECT_NE(written, bytes.end());
        board->ClearCommandLog();
    }
    // Every board answers the next run's greeting at once.
    CliResult next = Cli({"erase", "--all", "-q"});
    EXPECT_EQ(next.status, cli::esComplete) << next.out << next.err;
    for (const auto& board : boards) {
        const auto log = board->CommandLog();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[0], "\r");
        EXPECT_EQ(log[1], "p");
    }
}

TEST_F(CliAllTest, CountWaitsForALateBoardAndTimeoutEndsTheWait) {
    auto early = Board({}, "early");
    const auto bytes = Pattern(200);
    const std::string file = HexFile("a.hex", bytes);

    CliResult r = Cli({"program", "--all", "--count", "2", "--timeout", "1.5", file});
    EXPECT_EQ(r.status, cli::esNoProgrammer);
    EXPECT_THAT(r.err, HasSubstr("1 of the 2 programmers asked for answered with a chip within "));
    EXPECT_THAT(r.err, HasSubstr(": " + early->PortPath() + "\n"));
    EXPECT_FALSE(Logged(*early, "e"));

    // A port without a programmer is greeted at each poll.
    sim::BoardOptions silent;
    silent.faults.silent = true;
    auto nobody = Board(silent, "nobody");
    auto run = Start({"program", "--all", "--count", "2", file});
    ASSERT_TRUE(WaitFor([&] { return nobody->BytesReceived() >= 2; }));
    EXPECT_FALSE(run->Ended());
    auto late = Board({}, "late");
    CliResult done = run->Wait();
    EXPECT_EQ(done.status, cli::esComplete) << done.out << done.err;
    EXPECT_TRUE(Starts(early->Flash(), bytes));
    EXPECT_TRUE(Starts(late->Flash(), bytes));
}

// While --count waits, the boards it holds are greeted again at each poll: one
// unplugged meanwhile is let go, and a chip swapped meanwhile is programmed as
// the chip it now is.
TEST_F(CliAllTest, CountGreetsTheBoardsItHoldsAgainAtEachPoll) {
    auto swapped = Board({}, "b0");
    auto gone = Board({}, "b1");
    const auto bytes = Pattern(200);
    auto run = Start({"program", "--all", "--count", "3", HexFile("a.hex", bytes)});
    ASSERT_TRUE(WaitFor([&] { return Logged(*swapped, "p") && Logged(*gone, "p"); }));
    swapped->InsertChip(sim::ChipFromCode("52"));
    gone->Unplug();
    auto late = Board({}, "b2");
    ASSERT_TRUE(WaitFor([&] { return Logged(*late, "p"); }));
    auto last = Board({}, "b3");
    CliResult r = run->Wait();
    EXPECT_EQ(r.status, cli::esComplete) << r.out << r.err;
    EXPECT_THAT(Row(r.out, swapped->PortPath()), HasSubstr("89C52"));
    for (const auto* board : {swapped.get(), late.get(), last.get()}) {
        EXPECT_TRUE(Starts(board->Flash(), bytes));
    }
}

TEST_F(CliAllTest, ATerminalShowsOneLinePerBoardRedrawnInPlace) {
    auto boards = Boards({{}, {}});
    CliResult r = Cli({"verify", "--all", HexFile("a.hex", Pattern(300))}, true);
    EXPECT_EQ(r.status, cli::esFailedStep);  // the chips are blank
    EXPECT_THAT(r.out, HasSubstr("\x1b[2A"));
    const std::string port = boards[1]->PortPath();
    EXPECT_THAT(r.out,
                testing::ContainsRegex("\r" + port + "  89C51  Verify\\.\\.\\. +300/300 bytes"));
    EXPECT_THAT(r.out, Not(HasSubstr(port + ": ")));
    EXPECT_THAT(Row(r.out, port), HasSubstr("  Verify Failed!  "));
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: " + port +
                                 ": 300 of 300 bytes differ, the first at address 0000: "
                                 "file 03, chip FF\n"));
}

}  // namespace
}  // namespace corvane::test
