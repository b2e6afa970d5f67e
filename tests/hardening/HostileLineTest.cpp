// Noisy and hostile lines: replies that come byte by byte, random bytes before
// and inside replies, a greeting without the keyword, a board that echoes
// everything and one that floods the line. Nothing crashes, every exchange
// ends within its budget, and a Send never reports success for data that did
// not reach the chip.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "HardeningSupport.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long Ms(Clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

class HostileLine : public ::testing::Test {
protected:
    std::unique_ptr<sim::VirtualProgrammer> Board(const std::string& entry,
                                                  sim::BoardOptions options = FastBoard()) {
        return StartBoard(map, entry, std::move(options));
    }
    void SetFault(sim::VirtualProgrammer& board, const std::function<void(sim::Faults&)>& set) {
        sim::Faults f = board.CurrentFaults();
        set(f);
        board.SetFaults(f);
    }
    // The first `n` bytes of the board's flash as an image of the chip's size.
    static bool FlashHolds(const sim::VirtualProgrammer& board, const THexFile& image,
                           std::size_t n) {
        const auto flash = board.Flash();
        for (std::size_t i = 0; i < n; ++i) {
            if (flash[i] != image.Data()[i]) return false;
        }
        return true;
    }

    DeviceMap map;
    TempDir dir;
    RecordingView view;
};

TEST_F(HostileLine, RepliesThatComeByteByByteStillWork) {
    sim::BoardOptions options = FastBoard();
    options.flash = PatternImage(4096, 4096, 3).Data();
    auto board = Board("programmer", options);
    SetFault(*board, [](sim::Faults& f) { f.splitReplies = 0ms; });
    TProgrammerLink link(view);
    link.PollProgrammer();
    ASSERT_EQ(link.ChipKind(), ck89C51);

    const std::string read = dir.File("read.hex");
    link.ReadToFile(read);
    EXPECT_EQ(view.LastStatus(), "Complete!");
    THexFile back;
    back.SetMemSize(4096);
    back.LoadHex(read);
    EXPECT_EQ(back.Data(), options.flash);

    SetFault(*board, [](sim::Faults& f) { f.splitReplies = 2ms; });
    const THexFile image = PatternImage(4096, 64);
    view.lockChecked = true;
    link.ProgramFromFile(WriteHex(dir, "image.hex", image));
    EXPECT_EQ(view.LastStatus(), "Complete!");
    EXPECT_TRUE(FlashHolds(*board, image, 64));
    EXPECT_TRUE(board->Locked());
}

TEST_F(HostileLine, NoiseBeforeEveryReplyFindsTheProgrammerButNoChip) {
    auto board = Board("programmer");
    SetFault(*board, [](sim::Faults& f) { f.noise = sim::LineNoise{4, 3, 0, "#~!"}; });
    TProgrammerLink link(view);
    link.PollProgrammer();
    // The greeting holds the keyword, but the chip code sits two characters
    // later than the programmer's answer puts it.
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_EQ(view.LastStatus(), "");
    EXPECT_EQ(board->CommandLog(), (std::vector<std::string>{"\r", "p"}));
}

TEST_F(HostileLine, NoiseInsideRepliesNeverPassesForASuccessfulSend) {
    const std::set<std::string> outcomes = {
        "Complete!",      "Erase Failed!",       "Set Counter Failed!", "Write Failed!",
        "Verify Failed!", "Fast Verify Failed!", "Lock Failed!"};
    std::string noAngle;
    for (int c = 0; c < 256; ++c) {
        if (c != '>') noAngle += static_cast<char>(c);
    }
    TProgrammerLink link(view);
    const THexFile image = PatternImage(4096, 48);
    const std::string file = WriteHex(dir, "image.hex", image);
    std::map<std::string, int> seen;
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        // A fresh board each time: a write pass that the host dropped leaves
        // the board in the pass, where it takes the next commands as data.
        auto board = Board("programmer");
        link.PollProgrammer();
        if (link.ChipKind() == ckNone) link.PollProgrammer();
        ASSERT_EQ(link.ChipKind(), ck89C51);
        SetFault(*board, [&](sim::Faults& f) { f.noise = sim::LineNoise{seed, 0, 8, noAngle}; });
        view.Reset();
        view.fastVerifyChecked = seed % 2 == 0;
        link.ProgramFromFile(file);
        const std::string outcome = view.LastStatus();
        ++seen[outcome];
        EXPECT_TRUE(outcomes.count(outcome)) << outcome;
        if (outcome == "Complete!") {
            EXPECT_TRUE(FlashHolds(*board, image, 48)) << "success reported for wrong data";
        }
        EXPECT_EQ(view.cursorDepth, 0);
    }
    for (const auto& [outcome, n] : seen)
        std::printf("noise inside replies: %d x %s\n", n, outcome.c_str());
}

TEST_F(HostileLine, GreetingWithoutTheKeywordIsPassedOver) {
    auto impostor = Board("a-impostor");
    SetFault(*impostor, [](sim::Faults& f) { f.greeting = "\r\nProgrammer v1.3\r\n>"; });
    TProgrammerLink link(view);
    link.PollProgrammer();
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_EQ(view.LastStatus(), "") << "a port opened, no programmer answered";
    EXPECT_EQ(impostor->CommandLog(), (std::vector<std::string>{"\r"})) << "no chip query";

    auto board = Board("b-programmer");
    view.Reset();
    link.PollProgrammer();
    EXPECT_EQ(link.ChipKind(), ck89C51);
    EXPECT_EQ(link.ComPort().Port(), board->PortPath());
}

TEST_F(HostileLine, EchoingBoardIsNoProgrammerAndCostsOnlyTheBudgets) {
    auto board = Board("programmer");
    TProgrammerLink link(view);
    link.PollProgrammer();
    ASSERT_EQ(link.ChipKind(), ck89C51);

    SetFault(*board, [](sim::Faults& f) { f.echoAll = true; });
    // A Read: every counter step gets its echo but never its XON or prompt.
    auto start = Clock::now();
    link.ReadToFile(dir.File("read.hex"));
    auto took = Clock::now() - start;
    EXPECT_EQ(view.LastStatus(), "Set Counter Failed");
    EXPECT_FALSE(std::filesystem::exists(dir.File("read.hex")));
    EXPECT_LT(took, 2000ms + 4 * 1000ms + 1000ms + 5s) << "the counter's budgets and some slack";
    std::printf("Read against an echoing board: %lld ms\n", Ms(took));

    // The next poll finds no greeting on the open port; the one after scans.
    link.PollProgrammer();
    EXPECT_EQ(link.ChipKind(), ckNone);
    start = Clock::now();
    link.PollProgrammer();
    took = Clock::now() - start;
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_EQ(view.LastStatus(), "");
    EXPECT_LT(took, 500ms + 5s);
}

TEST_F(HostileLine, FloodingBoardGrowsTheReplyOnlyByWhatArrivesInTheBudget) {
    sim::BoardOptions options = FastBoard();
    options.faults.silent = true;
    options.faults.flood = "Flood without a prompt; ";
    auto board = Board("programmer", options);
    TProgrammerLink link(view);

    link.ComPort().SetPort(board->PortPath());
    link.ComPort().OpenPort();
    std::size_t largest = 0;
    ProcessFigures before;
    const int rounds = kSanitized ? 4 : 8;  // the sanitizer keeps freed replies a while
    for (int round = 0; round < rounds; ++round) {
        if (round == 2) before = Measure();  // after the allocator has seen a round or two
        link.ComPort().PurgeBuffers(true, false);
        const std::uint64_t sentBefore = board->BytesSent();
        std::string reply;
        const auto start = Clock::now();
        link.Exchange('\r', '>', reply, 500);
        const auto took = Clock::now() - start;
        const std::uint64_t sent = board->BytesSent() - sentBefore;
        // What the pty held before the purge reached it may come on top.
        EXPECT_LE(reply.size(), sent + 65536);
        EXPECT_EQ(reply.find('>'), std::string::npos);
        EXPECT_LT(took, 500ms + 5s);
        largest = std::max(largest, reply.size());
    }
    const ProcessFigures after = Measure();
    std::printf("flood: largest reply %zu bytes in 500 ms; %s before, %s after\n", largest,
                Describe(before).c_str(), Describe(after).c_str());
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    if (!kSanitized) {
        EXPECT_LT(after.rssKb - before.rssKb, static_cast<long>(2 * largest / 1024 + 4096))
            << "resident memory stays flat across rounds";
    }
    link.ComPort().ClosePort();
}

TEST_F(HostileLine, FloodingBoardHidesTheChipButNothingBreaks) {
    sim::BoardOptions options = FastBoard();
    options.baud = 9600;
    options.faults.flood = std::string("ok\x11\x13 0123456789ABCDEF", 22);
    auto board = Board("programmer", options);
    TProgrammerLink link(view);
    for (int poll = 0; poll < 3; ++poll) {
        link.PollProgrammer();
        // Whatever the flood put in front of the answer decides the code.
        EXPECT_NE(link.LastStatus(), "Available port not found!");
    }
    link.ComPort().ClosePort();
    EXPECT_FALSE(link.ComPort().Connected());
}

}  // namespace
}  // namespace corvane::test
