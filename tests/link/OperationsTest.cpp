#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace corvane {
namespace {

using test::RawLine;
using test::RecordingView;

const std::string kXonText(1, '\x11');
const std::string kXoffText(1, '\x13');

// Device operations against a far end that the test scripts byte by byte.
class OperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        link.ComPort().SetPort(line.Path());
        link.ComPort().OpenPort();
        link.SetChipKind(ck89C51);
    }
    // Answers the one command character `command` with `answer`.
    void Answer(char command, std::string answer) {
        line.StopResponder();
        line.Respond([command, answer](char c) { return c == command ? answer : std::string(); });
    }
    void SetSource(std::initializer_list<std::uint8_t> bytes) {
        std::uint16_t i = 0;
        for (std::uint8_t b : bytes) link.SourceImage().SetByte(i++, b);
    }

    RawLine line;
    RecordingView view;
    TProgrammerLink link{view};
};

TEST_F(OperationsTest, FastVerifyComparesTheTwosComplementOfTheSum) {
    SetSource({0x12, 0x34, 0x56});  // sum 0x009C
    const std::pair<std::string, bool> cases[] = {
        {"c= FF64\r\n>", true}, {"c= ff64\r\n>", true}, {"c= FF63\r\n>", false},
        {"xFF64\r\n>", true},  // without '=' the value starts at the second character
        {"c= zz\r\n>", false},
    };
    for (const auto& [reply, expected] : cases) {
        Answer('c', reply);
        EXPECT_EQ(link.FastVerifyChip(3), expected) << reply;
    }
    SetSource({0x00, 0x00, 0x00});
    Answer('c', "c= 0000\r\n>");
    EXPECT_TRUE(link.FastVerifyChip(3));
    Answer('c', "c= FFFF\r\n>");
    EXPECT_FALSE(link.FastVerifyChip(3));
}

TEST_F(OperationsTest, ReadTakesHexadecimalPairsAndStopsAtAnythingElse) {
    Answer('r', "ra700FF>");
    EXPECT_TRUE(link.ReadChip(3));
    EXPECT_EQ(link.ReadImage().GetByte(0), 0xA7);
    EXPECT_EQ(link.ReadImage().GetByte(1), 0x00);
    EXPECT_EQ(link.ReadImage().GetByte(2), 0xFF);
    EXPECT_EQ(view.progressMax, 2);
    EXPECT_EQ(view.highestPosition, 2);
    EXPECT_EQ(view.progressPosition, 0);
    EXPECT_EQ(view.windowRepaints, 3);

    link.ReadImage().SetByte(1, 0x42);
    Answer('r', "r3CG1>");
    EXPECT_FALSE(link.ReadChip(3));
    EXPECT_EQ(link.ReadImage().GetByte(0), 0x3C);
    EXPECT_EQ(link.ReadImage().GetByte(1), 0x42);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(OperationsTest, ReadWithoutAnyEchoShowsTheNulCharacter) {
    EXPECT_FALSE(link.ReadChip(3));
    EXPECT_EQ(view.messages, std::vector<std::string>{std::string(1, '\0')});
    EXPECT_EQ(line.Take(), "r");
}

// The box waits for the user, so the board must not wait in its dump meanwhile.
TEST_F(OperationsTest, WrongEchoBoxOpensWithTheDumpReadToItsPrompt) {
    Answer('r', "x" + std::string(200, '0') + ">");
    view.onMessage = [this](const std::string&) {
        EXPECT_FALSE(link.PassOpen());
        EXPECT_EQ(link.ComPort().PendingInput(), 0);
    };
    EXPECT_FALSE(link.ReadChip(100));
    EXPECT_EQ(view.messages, std::vector<std::string>{"x"});
}

// A pass left by an exception from its callback still ends at the prompt,
// with no caller around it to settle the board.
TEST_F(OperationsTest, ExceptionFromAWritePassCallbackFinishesThePassFirst) {
    TBoardExchange board(view, link.ReleasePort(), nullptr);
    int data = 0;
    line.Respond([&data](char c) -> std::string {
        if (c == 'w') return "w" + kXonText;
        return kXoffText + (++data < 4 ? kXonText : ">");
    });
    const std::uint8_t bytes[] = {1, 2, 3, 4};
    EXPECT_THROW(board.WritePass(bytes,
                                 [](std::uint32_t index, std::uint8_t) {
                                     if (index == 1) throw std::runtime_error("view gone");
                                 }),
                 std::runtime_error);
    EXPECT_FALSE(board.PassOpen());
    EXPECT_EQ(line.Received(), "w\x01\x02\xFF\xFF");
}

TEST_F(OperationsTest, LockCheckNeedsEveryByteErased) {
    line.Respond([](char c) -> std::string {
        if (c == 'l') return "locked>";
        if (c == 'r') return "rFFFFFF>";
        return "";
    });
    EXPECT_TRUE(link.LockChip(3));
    line.StopResponder();
    line.Respond([](char c) -> std::string {
        if (c == 'l') return "locked>";
        if (c == 'r') return "rFF00FF>";
        return "";
    });
    EXPECT_FALSE(link.LockChip(3));
    EXPECT_TRUE(view.statuses.empty());
}

// A digit unanswered fails the count; the board, still inside the entry, is
// then brought back to its prompt by the LF that ends it.
TEST_F(OperationsTest, CounterDigitWithoutAnswerFailsAndTheEntryIsEnded) {
    line.Respond([](char c) -> std::string {
        return c == '\n' ? ">" : c == 's' || c == '2' || c == '0' ? kXonText : "";
    });
    EXPECT_FALSE(link.SetCounter(2048));
    EXPECT_EQ(line.Received(), "s204\n");
}

TEST_F(OperationsTest, CounterIsConfirmedByOk) {
    line.Respond([](char c) -> std::string { return c == '\n' ? "\r\nok\r\n>" : kXonText; });
    EXPECT_TRUE(link.SetCounter(20480));
    line.StopResponder();
    line.Respond([](char c) -> std::string { return c == '\n' ? "\r\nbad\r\n>" : kXonText; });
    EXPECT_FALSE(link.SetCounter(7));
    EXPECT_EQ(line.Received(), "s20480\ns7\n");
}

TEST_F(OperationsTest, FirstXonTakenInWithTheEchoCountsForTheFirstByte) {
    SetSource({0x01, 0x02, 0x03});
    int dataLeft = -1;
    // The echo and the first XON go out in one piece, as on a fast line.
    line.Respond([&dataLeft](char c) -> std::string {
        if (dataLeft < 0) {
            if (c != 'w') return "";
            dataLeft = 3;
            return "w" + kXonText;
        }
        --dataLeft;
        return dataLeft > 0 ? kXoffText + kXonText : kXoffText + ">";
    });
    EXPECT_TRUE(link.WriteChip(3));
    EXPECT_EQ(line.Received(), "w\x01\x02\x03");
    EXPECT_EQ(view.highestPosition, 2);
    EXPECT_EQ(view.progressPosition, 0);
    EXPECT_EQ(view.passDone, 3);
}

TEST_F(OperationsTest, WriteWithoutEchoFailsAndGivesUpAfterOneFiller) {
    // No XON either: the first filler goes without it (an XON may be lost),
    // and as nothing at all comes back, no more are sent.
    EXPECT_FALSE(link.WriteChip(3));
    EXPECT_EQ(line.Take(), "w\xFF");
}

}  // namespace
}  // namespace corvane
