#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "LinkTestSupport.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::RawLine;
using test::RecordingView;

constexpr char kXon = 17;

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        link.ComPort().SetPort(line.Path());
        link.ComPort().OpenPort();
    }
    // Waits until the host's input queue holds `count` bytes.
    void WaitQueued(int count) {
        while (link.ComPort().PendingInput() < count) link.ComPort().WaitForInput(100);
    }

    RawLine line;
    RecordingView view;
    TProgrammerLink link{view};
};

TEST_F(ExchangeTest, NoCommandSendsNothingAndKeepsWhatCameWithThePrompt) {
    line.Put("Yarv>tail");
    WaitQueued(9);
    std::string reply;
    link.Exchange('\0', '>', reply, 1000);
    EXPECT_EQ(reply, "Yarv>tail");
    EXPECT_EQ(line.Take(), "");
}

TEST_F(ExchangeTest, WaitingPromptEndsTheExchangeAtOnceAndNothingIsPurged) {
    line.Put("old>");
    WaitQueued(4);
    std::string reply;
    // Were the old prompt ignored, this would wait the whole 30 s.
    link.Exchange('p', '>', reply, 30000);
    EXPECT_EQ(reply, "old>");
    EXPECT_EQ(line.Take(), "p");
}

TEST_F(ExchangeTest, ReplyIsGatheredAcrossChunksUntilTheTerminator) {
    line.Respond([this](char c) -> std::string {
        if (c != 'q') return "";
        line.Put("12");
        std::this_thread::sleep_for(30ms);
        line.Put("3");
        std::this_thread::sleep_for(30ms);
        return "4>5";
    });
    std::string reply;
    link.Exchange('q', '>', reply, 5000);
    // The chunk that holds the prompt is kept whole.
    EXPECT_EQ(reply, "1234>5");
    EXPECT_EQ(line.Received(), "q");
}

TEST_F(ExchangeTest, SilenceGivesAnEmptyReplyAfterTheBudget) {
    std::string reply = "old";
    auto start = std::chrono::steady_clock::now();
    link.Exchange('\r', '>', reply, 300);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply, "");
    EXPECT_GE(elapsed, 300ms);
    EXPECT_EQ(line.Take(), "\r");
}

TEST_F(ExchangeTest, WithoutItsTerminatorTheReplyIsWhatArrived) {
    line.Put("abc");
    std::string reply;
    link.Exchange('\0', kXon, reply, 200);
    EXPECT_EQ(reply, "abc");
}

TEST_F(ExchangeTest, BudgetOfZeroOrLessStillLooksOnce) {
    line.Put("zz");
    WaitQueued(2);
    std::string reply;
    link.Exchange('\0', '>', reply, 0);
    EXPECT_EQ(reply, "zz");
    line.Put("yy");
    WaitQueued(2);
    link.Exchange('\0', '>', reply, -5);
    EXPECT_EQ(reply, "yy");
    link.Exchange('\0', '>', reply, 0);
    EXPECT_EQ(reply, "");
}

TEST_F(ExchangeTest, BytesOfAnyValueArriveUnchanged) {
    line.Put(std::string("\0\x11\xff>", 4));
    WaitQueued(4);
    std::string reply;
    link.Exchange('\0', '>', reply, 1000);
    EXPECT_EQ(reply, std::string("\0\x11\xff>", 4));
}

TEST_F(ExchangeTest, FloodingLineIsReadOnButTheReplyStaysBounded) {
    // 200 KB without a prompt, then the prompt: the exchange still ends at
    // the prompt, and the reply keeps the first 64 KB only.
    const std::string flood(200 * 1024, 'x');
    std::thread feeder([&] { line.Put(flood + ">"); });
    std::string reply;
    link.Exchange('\0', '>', reply, 20000);
    feeder.join();
    EXPECT_EQ(reply.size(), 64u * 1024u);
    EXPECT_EQ(reply.find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(link.ComPort().PendingInput(), 0);
}

TEST(ExchangeOnClosedPort, PortErrorsPassAndLeaveTheReplyAsItWas) {
    RecordingView view;
    TProgrammerLink link(view);
    std::string reply = "keep";
    EXPECT_THROW(link.Exchange('\r', '>', reply, 100), EComPort);
    EXPECT_THROW(link.Exchange('\0', '>', reply, 100), EComPort);
    EXPECT_EQ(reply, "keep");
}

}  // namespace
}  // namespace corvane
