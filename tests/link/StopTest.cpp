#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace corvane {
namespace {

using test::DeviceMap;
using test::Prefix;
using test::RecordingView;
using test::TempDir;
namespace sim = corvane::sim;
using Statuses = std::vector<std::string>;
using namespace std::chrono_literals;

std::string Writing(unsigned count) {
    return "Writing... [" + std::to_string(count) + " Bytes]";
}

bool BlankFrom(const std::vector<std::uint8_t>& flash, std::size_t from) {
    return std::all_of(flash.begin() + static_cast<long>(from), flash.end(),
                       [](std::uint8_t b) { return b == 0xFF; });
}

// A stop asked for in the middle of a workflow, against a board that waits
// for every byte of a pass as a real one does.
class StopTest : public ::testing::Test {
protected:
    void Connect(sim::BoardOptions options, TChipKind expected) {
        board = test::StartBoard(map, "prog", std::move(options));
        link.PollProgrammer();
        ASSERT_EQ(link.ChipKind(), expected);
        board->ClearCommandLog();
        view.Reset();
    }
    // The next poll greets the board and finds the chip again, and the board
    // saw nothing between the workflow's commands and that poll.
    void ExpectBoardAtItsPrompt(TChipKind kind, const Statuses& workflowCommands) {
        EXPECT_FALSE(link.PassOpen());
        link.PollProgrammer();
        EXPECT_EQ(link.ChipKind(), kind);
        Statuses expected = workflowCommands;
        expected.push_back("\r");
        expected.push_back("p");
        EXPECT_EQ(board->CommandLog(), expected);
    }

    DeviceMap map;
    TempDir files;
    std::unique_ptr<sim::VirtualProgrammer> board;
    RecordingView view;
    TProgrammerLink link{view};
    std::stop_source stop;
};

TEST_F(StopTest, StoppedWriteIsFinishedWithErasedBytes) {
    Connect(test::BoardWith(sim::ChipFromCode("52")), ck89C52);
    const std::uint16_t count = 8000;
    const THexFile image = test::PatternImage(8192, count);
    view.onProgress = [this](int done, int) {
        if (done == 1000) stop.request_stop();
    };
    link.ProgramFromFile(test::WriteHex(files, "a.hex", image), stop.get_token());

    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Erasing...[1/10]", "Initial for Writing",
                                       Writing(count), "Stopped!"}));
    EXPECT_EQ(view.cursorDepth, 0);
    EXPECT_EQ(view.progressPosition, 0);
    const auto flash = board->Flash();
    EXPECT_EQ(Prefix(flash, 1000), Prefix(image.Data(), 1000));
    EXPECT_TRUE(BlankFrom(flash, 1000));
    ExpectBoardAtItsPrompt(ck89C52, {"e", "p", "s8000\n", "w"});
}

TEST_F(StopTest, StoppedReadSavesNothingAndIsDrained) {
    Connect(test::BoardWith(sim::ChipFromCode("55")), ck89C55);
    const std::string out = test::WriteText(files, "out.hex", "kept\n");
    view.onProgress = [this](int done, int) {
        if (done == 500) stop.request_stop();
    };
    link.ReadToFile(out, stop.get_token());
    EXPECT_EQ(view.statuses, (Statuses{"Reading...", "Stopped!"}));
    EXPECT_EQ(view.cursorDepth, 0);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(test::ReadWholeFile(out), "kept\n");
    ExpectBoardAtItsPrompt(ck89C55, {"s20480\n", "r"});
}

TEST_F(StopTest, StopDuringAnEraseAwaitsTheBoardsReply) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.eraseDelay = 300ms;
    Connect(options, ck89C51);
    view.onStatus = [this](const std::string& text) {
        if (text == "Erasing...[1/10]") stop.request_stop();
    };
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 64)),
                         stop.get_token());
    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Erasing...[1/10]", "Stopped!"}));
    // The erase's reply was read before the workflow ended: the next poll's
    // greeting brings the greeting alone.
    ExpectBoardAtItsPrompt(ck89C51, {"e"});
}

TEST_F(StopTest, StopEndsAPollsWaitForAnUnansweredChipQuery) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.faults.noAnswerToP = true;
    board = test::StartBoard(map, "prog", options);
    std::thread stopper([this] {
        if (board->WaitForCommands(2, 60s)) stop.request_stop();  // CR, then 'p'
    });
    const auto start = std::chrono::steady_clock::now();
    link.PollProgrammer(stop.get_token());
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_EQ(link.ChipKind(), ckNone);
    // Without the stop the query's budget alone is 30 s.
    EXPECT_LT(took, 20s);
    EXPECT_EQ(view.timerStates, (std::vector<bool>{false, true}));
}

// ---------------------------------------------------------------------------
// Failed passes, against the same kind of board.

using FailedPassTest = StopTest;

TEST_F(FailedPassTest, XonGlitchIsFinishedAndTheNextSendProgramsTheChip) {
    const std::uint32_t glitchAt = 1500;  // byte N, counted from 1
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("52"));
    options.faults.xonGlitchAt = glitchAt;
    Connect(options, ck89C52);
    const THexFile first = test::PatternImage(8192, 8192, 1);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", first));
    EXPECT_EQ(view.LastStatus(), "Write Failed!");
    EXPECT_EQ(view.cursorDepth, 0);
    EXPECT_FALSE(link.PassOpen());
    auto flash = board->Flash();
    EXPECT_EQ(Prefix(flash, glitchAt - 1), Prefix(first.Data(), glitchAt - 1));
    EXPECT_TRUE(BlankFrom(flash, glitchAt - 1));

    // The next poll greets the board at its prompt; the greeting programs nothing.
    int ticks = 0;
    do {
        link.PollProgrammer();
    } while (++ticks < 2 && link.ChipKind() != ck89C52);
    EXPECT_EQ(link.ChipKind(), ck89C52);
    EXPECT_EQ(ticks, 1);
    EXPECT_TRUE(BlankFrom(board->Flash(), glitchAt - 1));

    view.Reset();
    const THexFile second = test::PatternImage(8192, 8192, 2);
    link.ProgramFromFile(test::WriteHex(files, "b.hex", second));
    EXPECT_EQ(view.LastStatus(), "Complete!");
    EXPECT_EQ(board->Flash(), second.Data());
}

TEST_F(FailedPassTest, LostXoffIsTakenAsReadyAndTheWriteGoesOn) {
    // The XOFF of byte 700 never comes; the XON before byte 701 does.
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("52"));
    options.faults.xoffDropAt = 700;
    Connect(options, ck89C52);
    const THexFile image = test::PatternImage(8192, 2000);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", image));
    EXPECT_EQ(view.LastStatus(), "Complete!");
    EXPECT_EQ(board->Flash(), image.Data());
    ExpectBoardAtItsPrompt(ck89C52, {"e", "p", "s2000\n", "w", "r"});
}

// The last byte's XOFF is lost: whatever text the board ends the pass with,
// it ends in the prompt, and with no byte owed that ends the pass.
TEST_F(FailedPassTest, LostLastXoffAndAnyEndOfThePassInThePrompt) {
    Connect(test::BoardWith(sim::ChipFromCode("51")), ck89C51);
    unsigned seed = 0;
    for (const auto form : {sim::PromptForm::Usual, sim::PromptForm::Bare, sim::PromptForm::LineEnd,
                            sim::PromptForm::Text}) {
        SCOPED_TRACE(static_cast<int>(form));
        sim::Faults faults;
        faults.xoffDropAt = sim::kLastByte;
        faults.promptForm = form;
        board->SetFaults(faults);
        const THexFile image = test::PatternImage(4096, 300, ++seed);
        link.ProgramFromFile(test::WriteHex(files, "a.hex", image));
        EXPECT_EQ(view.LastStatus(), "Complete!");
        EXPECT_EQ(board->Flash(), image.Data());
        ExpectBoardAtItsPrompt(ck89C51, {"e", "p", "s300\n", "w", "r"});
        board->ClearCommandLog();
    }
}

TEST_F(FailedPassTest, BoardThatDropsThePassCostsTwoByteTimeOuts) {
    // A wrong byte in place of the XOFF of byte 5, after which the board
    // drops the pass: the link waits once for an XON that does not come,
    // sends the filler without it (as for an XON lost on the line), and gives
    // up when nothing at all comes back.
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.faults.wrongHandshakeAt = 5;
    Connect(options, ck89C51);
    std::chrono::steady_clock::time_point lastByte;
    view.onProgress = [&](int, int) { lastByte = std::chrono::steady_clock::now(); };
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 64)));
    const auto drain = std::chrono::steady_clock::now() - lastByte;
    EXPECT_EQ(view.LastStatus(), "Write Failed!");
    EXPECT_EQ(view.highestPosition, 3);
    // One time-out is 1100 ms; a third would make it 3300.
    EXPECT_LT(drain, 3300ms);
    EXPECT_GE(drain, 2000ms);
    ExpectBoardAtItsPrompt(ck89C51, {"e", "p", "s64\n", "w"});
}

TEST_F(FailedPassTest, ReadWithAWrongEchoIsDrainedToItsPrompt) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("55"));
    options.faults.wrongReadEcho = 'x';
    options.baud = 115200;  // the dump takes longer than a prompt's budget
    Connect(options, ck89C55);
    link.ReadToFile(files.File("out.hex"));
    EXPECT_EQ(view.statuses, (Statuses{"Reading...", "Read Failed!"}));
    EXPECT_EQ(view.messages, Statuses{"x"});
    ExpectBoardAtItsPrompt(ck89C55, {"s20480\n", "r"});
}

TEST_F(FailedPassTest, PassLeftOpenByAPortFailureIsFinishedBeforeTheNextGreeting) {
    Connect(test::BoardWith(sim::ChipFromCode("51")), ck89C51);
    const std::string port = link.ComPort().Port();
    // The port fails in the middle of the pass (the host's side goes, the
    // board's pass stays open); the board is found again on the same port.
    view.onProgress = [this](int done, int) {
        if (done == 100) link.ComPort().ClosePort();
    };
    EXPECT_ANY_THROW(
        link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 300))));
    EXPECT_TRUE(link.PassOpen());
    view.onProgress = nullptr;
    link.PollProgrammer();  // the port is closed: the chip is gone, the port scanned again
    int ticks = 0;
    while (link.ChipKind() != ck89C51 && ticks++ < 2) link.PollProgrammer();
    EXPECT_EQ(link.ChipKind(), ck89C51);
    EXPECT_EQ(link.ComPort().Port(), port);
    EXPECT_FALSE(link.PassOpen());
    EXPECT_TRUE(BlankFrom(board->Flash(), 101));
}

}  // namespace
}  // namespace corvane
