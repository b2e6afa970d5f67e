// The programmer's line going away in the middle of a poll, an erase, a write,
// a read-back and a checksum: the link ends the step with its failure text or
// a port error, puts the cursor back, and finds the board again when it comes
// back under the same map entry.

#include <gtest/gtest.h>

#include "HardeningSupport.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCount = 64;
const std::string kPortError = "EComPort";

class LineGone : public ::testing::Test {
protected:
    void SetUp() override {
        board = StartBoard(map, "programmer", FastBoard());
        link = std::make_unique<TProgrammerLink>(view);
        link->PollProgrammer();
        ASSERT_EQ(link->ChipKind(), ck89C51);
        image = WriteHex(dir, "image.hex", PatternImage(4096, kCount));
        view.Reset();
    }

    // Arranges that the line goes away once the host has written `more` bytes.
    void GoneAfterReceived(std::uint64_t more) {
        sim::Faults f = board->CurrentFaults();
        f.lineGoneAfter = board->BytesReceived() + more;
        board->SetFaults(f);
    }
    // Arranges that the line goes away once the board has sent `more` bytes.
    void GoneAfterSent(std::uint64_t more) {
        sim::Faults f = board->CurrentFaults();
        f.lineGoneAfterSent = board->BytesSent() + more;
        board->SetFaults(f);
    }

    // Runs a workflow; its last status text, or kPortError when a port error
    // left it. Any other exception fails the test.
    std::string Run(const std::function<void()>& workflow) {
        const auto start = Clock::now();
        std::string outcome;
        try {
            workflow();
            outcome = view.LastStatus();
        } catch (const EComPort& e) {
            outcome = kPortError;
            portMessage = e.what();
        }
        elapsed = Clock::now() - start;
        std::printf("outcome: %s after %lld ms\n", outcome.c_str(),
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
        EXPECT_EQ(view.waitCursors, view.restores) << "the cursor comes back";
        EXPECT_EQ(view.cursorDepth, 0);
        return outcome;
    }

    // The board comes back under the same entry: at most two polls find it.
    void ExpectFoundAgain() {
        board->SetFaults({});
        ASSERT_TRUE(board->WaitUnplugged(5s)) << "the line did go away";
        board->Plug();
        ASSERT_TRUE(board->Plugged());
        // The first poll may still believe in the chip of the old line and
        // find it gone; the second scans.
        int polls = 0;
        do {
            link->PollProgrammer();
            ++polls;
        } while (polls < 2 && link->ChipKind() != ck89C51);
        EXPECT_EQ(link->ChipKind(), ck89C51) << "found again within two polls";
        // The poll leaves the timer running again.
        ASSERT_FALSE(view.timerStates.empty());
        EXPECT_TRUE(view.timerStates.back());
        // And the board works: a short program runs through.
        view.Reset();
        link->ProgramFromFile(image);
        EXPECT_EQ(view.LastStatus(), "Complete!");
    }

    DeviceMap map;
    TempDir dir;
    HookedView view;
    std::unique_ptr<sim::VirtualProgrammer> board;
    std::unique_ptr<TProgrammerLink> link;
    std::string image;
    Clock::duration elapsed{};
    std::string portMessage;
};

::testing::AssertionResult OneOf(const std::string& outcome, const std::string& failure) {
    if (outcome == failure || outcome == kPortError) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "outcome \"" << outcome << "\" is neither \"" << failure << "\" nor a port error";
}

TEST_F(LineGone, DuringTheGreetingOfAKnownChip) {
    GoneAfterReceived(1);  // the CR arrives, then the line goes
    const auto start = Clock::now();
    link->PollProgrammer();
    EXPECT_LT(Clock::now() - start, 1000ms + 2s) << "within the greeting's budget";
    EXPECT_EQ(link->ChipKind(), ckNone);
    ExpectFoundAgain();
}

TEST_F(LineGone, WhileThePollWaitsForTheChipCode) {
    sim::Faults f;
    f.noAnswerToP = true;
    board->SetFaults(f);
    board->ClearCommandLog();
    std::thread unplug([&] {
        if (board->WaitForCommands(2, 10s)) board->Unplug();  // CR, then 'p'
    });
    const auto start = Clock::now();
    link->PollProgrammer();
    const auto took = Clock::now() - start;
    unplug.join();
    EXPECT_LT(took, 1000ms + 30000ms) << "within the budgets of the greeting and the query";
    std::printf("poll with the line gone during 'p': %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    // An empty answer keeps the chip; the next poll finds the line dead.
    if (link->ChipKind() != ckNone) link->PollProgrammer();
    EXPECT_EQ(link->ChipKind(), ckNone);
    ExpectFoundAgain();
}

TEST_F(LineGone, DuringTheScanGreeting) {
    link->ComPort().ClosePort();
    link = std::make_unique<TProgrammerLink>(view);  // a fresh link that searches
    sim::Faults f;
    f.lineGoneAfterSent = board->BytesSent() + 5;  // the greeting breaks off
    board->SetFaults(f);
    link->PollProgrammer();
    EXPECT_EQ(link->ChipKind(), ckNone);
    EXPECT_EQ(view.LastStatus(), "") << "a port opened, no programmer answered";
    ExpectFoundAgain();
}

TEST_F(LineGone, DuringAnErase) {
    view.onStatus = [&](const std::string& s) {
        if (s == "Erasing...[1/10]") GoneAfterReceived(1);
    };
    EXPECT_TRUE(OneOf(Run([&] { link->ProgramFromFile(image); }), "Erase Failed!"));
    view.onStatus = nullptr;
    EXPECT_LT(elapsed, 10 * (5000ms + 30000ms));
    ExpectFoundAgain();
}

TEST_F(LineGone, DuringAWritePass) {
    view.onStatus = [&](const std::string& s) {
        if (s == "Writing... [64 Bytes]") GoneAfterReceived(1 + 10);  // 'w' and ten bytes
    };
    const std::string outcome = Run([&] { link->ProgramFromFile(image); });
    EXPECT_TRUE(OneOf(outcome, "Write Failed!"));
    view.onStatus = nullptr;
    EXPECT_LT(elapsed, 20s);
    // A failed pass puts the progress bar back; a port error leaves it as it was.
    if (outcome != kPortError) {
        EXPECT_EQ(view.progressPosition, 0);
    }
    ExpectFoundAgain();
}

TEST_F(LineGone, UnpluggedInTheMiddleOfAWritePass) {
    bool writing = false;
    view.onStatus = [&](const std::string& s) { writing = s.rfind("Writing", 0) == 0; };
    view.onProgress = [&](int position) {
        if (writing && position == 20) board->Unplug();
    };
    EXPECT_TRUE(OneOf(Run([&] { link->ProgramFromFile(image); }), "Write Failed!"));
    view.onStatus = nullptr;
    view.onProgress = nullptr;
    ExpectFoundAgain();
}

TEST_F(LineGone, DuringTheReadBackOfAVerify) {
    view.onStatus = [&](const std::string& s) {
        if (s == "Verify...") GoneAfterSent(1 + 2 * 20);  // echo and twenty bytes
    };
    EXPECT_TRUE(OneOf(Run([&] { link->ProgramFromFile(image); }), "Verify Failed!"));
    view.onStatus = nullptr;
    EXPECT_LT(elapsed, 20s);
    ExpectFoundAgain();
}

TEST_F(LineGone, DuringAFastVerify) {
    view.fastVerifyChecked = true;
    view.onStatus = [&](const std::string& s) {
        if (s == "Fast Verify...") GoneAfterSent(5);  // in the middle of the checksum text
    };
    EXPECT_TRUE(OneOf(Run([&] { link->ProgramFromFile(image); }), "Fast Verify Failed!"));
    view.onStatus = nullptr;
    EXPECT_LT(elapsed, 20s);
    ExpectFoundAgain();
}

TEST_F(LineGone, DuringTheReadOfARead) {
    const std::string file = dir.File("read.hex");
    view.onStatus = [&](const std::string& s) {
        if (s == "Reading...") GoneAfterSent(1 + 2 * 1000);
    };
    EXPECT_TRUE(OneOf(Run([&] { link->ReadToFile(file); }), "Read Failed!"));
    view.onStatus = nullptr;
    EXPECT_FALSE(std::filesystem::exists(file)) << "nothing is saved from a broken read";
    ExpectFoundAgain();
}

}  // namespace
}  // namespace corvane::test
