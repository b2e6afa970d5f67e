// The board's switches for noisy and hostile lines, seen from a plain host.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "HostLine.h"
#include "VirtualProgrammer.h"

namespace corvane::sim {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr std::string_view kGreeting = "\r\nYarv Programmer v1.3\r\n>";

BoardOptions With(const Faults& faults) {
    BoardOptions o;
    o.eraseDelay = 0ms;
    o.writePause = 0ms;
    o.faults = faults;
    return o;
}

// Whether `inner` can be found in `text` in order, with other bytes between.
bool Subsequence(std::string_view inner, std::string_view text) {
    std::size_t at = 0;
    for (char c : text) {
        if (at < inner.size() && inner[at] == c) ++at;
    }
    return at == inner.size();
}

TEST(HostileBoard, SplitRepliesArriveByteByByteAndUnchanged) {
    Faults f;
    f.splitReplies = 20ms;
    VirtualProgrammer board(With(f));
    board.Start();
    HostLine host(board.PortPath());
    ASSERT_TRUE(host.Send('\r'));
    std::string got;
    int reads = 0;
    while (got.size() < kGreeting.size()) {
        pollfd p{host.Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        char buf[64];
        const ssize_t n = ::read(host.Fd(), buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<std::size_t>(n));
        ++reads;
    }
    EXPECT_EQ(got, kGreeting);
    EXPECT_GT(reads, 1);
}

TEST(HostileBoard, NoiseIsDrawnFromItsAlphabetAndRepeatsForTheSameSeed) {
    auto greetingWith = [](std::uint32_t seed) {
        Faults f;
        f.noise = LineNoise{seed, 6, 300, "#~"};
        VirtualProgrammer board(With(f));
        board.Start();
        HostLine host(board.PortPath());
        return host.Exchange('\r', '>');
    };
    const std::string a = greetingWith(5);
    EXPECT_EQ(a.find_first_not_of("#~"), 6u) << "six bytes of noise in front";
    EXPECT_GT(a.size(), kGreeting.size() + 6) << "and some inside";
    EXPECT_TRUE(Subsequence(kGreeting, a));
    EXPECT_EQ(greetingWith(5), a);
    EXPECT_NE(greetingWith(6), a);
}

TEST(HostileBoard, NoiseRestartsFromItsSeedWhenTheFaultsAreSetAgain) {
    VirtualProgrammer board(With({}));
    board.Start();
    HostLine host(board.PortPath());
    Faults f;
    f.noise = LineNoise{9, 4, 0, {}};
    board.SetFaults(f);
    const std::string first = host.Exchange('p');
    board.SetFaults(f);
    EXPECT_EQ(host.Exchange('p'), first);
    EXPECT_EQ(first.substr(4), "p51,0 ok\r\n>");
}

TEST(HostileBoard, GreetingCanBeReplaced) {
    Faults f;
    f.greeting = "\r\nProgrammer v1.3\r\n>";
    VirtualProgrammer board(With(f));
    board.Start();
    HostLine host(board.PortPath());
    EXPECT_EQ(host.Exchange('\r'), "\r\nProgrammer v1.3\r\n>");
    EXPECT_EQ(host.Exchange('p'), "p51,0 ok\r\n>") << "the rest of the firmware answers";
}

TEST(HostileBoard, EchoingBoardSendsBackEverythingAndDoesNothingElse) {
    Faults f;
    f.echoAll = true;
    VirtualProgrammer board(With(f));
    board.Start();
    HostLine host(board.PortPath());
    const std::string sent = "\rps12\nwe>";
    ASSERT_TRUE(host.Send(sent));
    EXPECT_EQ(host.ReadCount(sent.size()), sent);
    EXPECT_TRUE(board.CommandLog().empty());
    EXPECT_EQ(board.Counter(), 0u);
    // The board counts a byte after the host may already have read it.
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (board.BytesSent() < sent.size() && std::chrono::steady_clock::now() < end) {
        std::this_thread::yield();
    }
    EXPECT_EQ(board.BytesSent(), sent.size());
}

TEST(HostileBoard, FloodingBoardStillAnswersAndStopsWhileTheHostDoesNotRead) {
    Faults f;
    f.flood = "AB";
    VirtualProgrammer board(With(f));
    board.Start();
    HostLine host(board.PortPath());
    const std::string flood = host.ReadCount(20000);
    ASSERT_EQ(flood.size(), 20000u);
    EXPECT_EQ(flood.find_first_not_of("AB"), std::string::npos);
    EXPECT_EQ(flood.find("AA"), std::string::npos) << "the text repeats in order";
    EXPECT_THAT(host.Exchange('p'), HasSubstr("p51,0 ok\r\n>"));
    // The pty fills up while the host reads nothing; stopping must not wait for it.
    ASSERT_TRUE(host.Send('p'));
    board.Stop();
    EXPECT_FALSE(board.Running());
}

TEST(HostileBoard, PacedFloodRepeatsItsText) {
    Faults f;
    f.flood = "xyz";
    BoardOptions o = With(f);
    o.baud = 9600;
    VirtualProgrammer board(o);
    board.Start();
    HostLine host(board.PortPath());
    EXPECT_EQ(host.ReadCount(30), "xyzxyzxyzxyzxyzxyzxyzxyzxyzxyz");
}

TEST(HostileBoard, LineGoesAwayAfterTheBoardHasSentEnough) {
    Faults f;
    f.lineGoneAfterSent = 10;
    VirtualProgrammer board(With(f));
    board.Start();
    HostLine host(board.PortPath());
    ASSERT_TRUE(host.Send('\r'));
    EXPECT_TRUE(board.WaitUnplugged(5s));
    EXPECT_EQ(board.BytesSent(), 10u);
    EXPECT_TRUE(host.WaitHangUp());
    EXPECT_EQ(board.PortPath(), "");
    board.Plug();
    EXPECT_EQ(board.BytesSent(), 0u) << "counted afresh on a new line";
}

}  // namespace
}  // namespace corvane::sim
