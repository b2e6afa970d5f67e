// The workflows that only look at the chip or only erase it (verify against a
// file, erase, blank check), each stopped in the middle: the board is left at
// its prompt. What they do when not stopped, the CLI tests show.

#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace corvane {
namespace {

using test::DeviceMap;
using test::RecordingView;
using test::TempDir;
namespace sim = corvane::sim;
using Statuses = std::vector<std::string>;

class CheckWorkflowTest : public ::testing::Test {
protected:
    void Connect(sim::BoardOptions options) {
        board = test::StartBoard(map, "prog", std::move(options));
        link.PollProgrammer();
        ASSERT_NE(link.ChipKind(), ckNone);
        board->ClearCommandLog();
        view.Reset();
    }
    // The next poll greets the board and finds its chip, and the board saw
    // nothing between the workflow's commands and that poll.
    void ExpectBoardAtItsPrompt(const Statuses& workflowCommands) {
        const TChipKind kind = link.ChipKind();
        EXPECT_FALSE(link.PassOpen());
        EXPECT_EQ(view.cursorDepth, 0);
        link.PollProgrammer();
        EXPECT_EQ(link.ChipKind(), kind);
        Statuses expected = workflowCommands;
        expected.push_back("\r");
        expected.push_back("p");
        EXPECT_EQ(board->CommandLog(), expected);
    }
    void StopAt(int bytesDone) {
        view.onProgress = [this, bytesDone](int done, int) {
            if (done == bytesDone) stop.request_stop();
        };
    }

    DeviceMap map;
    TempDir files;
    std::unique_ptr<sim::VirtualProgrammer> board;
    RecordingView view;
    TProgrammerLink link{view};
    std::stop_source stop;
};

TEST_F(CheckWorkflowTest, StoppedVerifyAndBlankCheckAreDrained) {
    Connect(test::BoardWith(sim::ChipFromCode("52")));
    StopAt(300);
    link.VerifyWithFile(test::WriteHex(files, "a.hex", test::PatternImage(8192, 4000)),
                        stop.get_token());
    EXPECT_EQ(view.statuses, (Statuses{"Verify...", "Stopped!"}));
    EXPECT_EQ(link.CheckedCount(), 0);

    view.Reset();
    // A stop asked for before the command starts stops it before the board is told anything.
    link.BlankCheck(stop.get_token());
    EXPECT_EQ(view.statuses, (Statuses{"Blank Check...", "Stopped!"}));
    EXPECT_TRUE(view.messages.empty());
    ExpectBoardAtItsPrompt({"s4000\n", "r"});
}

TEST_F(CheckWorkflowTest, StoppedEraseEndsBetweenAttempts) {
    sim::BoardOptions options;
    options.faults.eraseFailures = 10;
    Connect(options);
    view.onStatus = [this](const std::string& text) {
        if (text == "Erasing...[2/10]") stop.request_stop();
    };
    link.EraseOnly(stop.get_token());
    EXPECT_EQ(view.statuses,
              (Statuses{"Erasing...", "Erasing...[1/10]", "Erasing...[2/10]", "Stopped!"}));
    ExpectBoardAtItsPrompt({"e", "e"});
}

}  // namespace
}  // namespace corvane
