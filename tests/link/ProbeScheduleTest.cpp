// When each port is greeted: the schedule on a clock of the test's own.

#include <gtest/gtest.h>

#include <algorithm>

#include "ProbeSchedule.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using TList = std::vector<std::string>;

struct ProbeSchedule : testing::Test {
    TProbeSchedule::TClock::time_point Now{};
    TProbeSchedule Schedule{[this] { return Now; }};

    // One search a tick (`tick` apart) for `seconds`, with `listed` and only
    // the ports of `answering` answering: the seconds at which `port` was greeted.
    std::vector<int> Greetings(const TList& listed, const std::string& port, int seconds,
                               const TList& answering = {},
                               std::chrono::milliseconds tick = TProbeSchedule::kTick) {
        std::vector<int> at;
        for (const auto start = Now; Now - start < std::chrono::seconds(seconds); Now += tick) {
            const TList due = Schedule.Due(listed);
            TList answered;
            for (const std::string& p : due) {
                if (std::count(answering.begin(), answering.end(), p)) answered.push_back(p);
            }
            if (std::count(due.begin(), due.end(), port)) {
                at.push_back(static_cast<int>((Now - start) / 1s));
            }
            Schedule.Heard(due, answered);
        }
        return at;
    }
};

TEST_F(ProbeSchedule, SilentPortWaitsTwiceAsLongEachTimeUpTo30Seconds) {
    const std::vector<int> expected{0, 1, 3, 7, 15, 31, 61, 91, 121, 151, 181, 211, 241, 271};
    EXPECT_EQ(Greetings({"A"}, "A", 300), expected);
    EXPECT_EQ(Schedule.States().front().Unanswered, 14);
    // A timer that fires a little early does not cost a port its turn.
    Schedule = TProbeSchedule([this] { return Now; });
    EXPECT_EQ(Greetings({"A"}, "A", 40, {}, 950ms).size(), 6u);
}

TEST_F(ProbeSchedule, PortThatAppearsOrComesBackIsGreetedAtOnceAndStartsAgain) {
    Greetings({"A"}, "A", 60);
    // B is new; A waits its turn.
    EXPECT_EQ(Greetings({"A", "B"}, "B", 4), (std::vector<int>{0, 1, 3}));
    EXPECT_TRUE(Schedule.Due({"A"}).empty());
    Schedule.Due({});                                                  // A is gone ...
    EXPECT_EQ(Greetings({"A"}, "A", 4), (std::vector<int>{0, 1, 3}));  // ... and back
    // Its device went away during a greeting: it may be back under the same name.
    Schedule.Heard({"A"}, {}, {"A"});
    EXPECT_EQ(Schedule.Due({"A"}), TList{"A"});
}

TEST_F(ProbeSchedule, ProgrammersPortIsNeverSlowed) {
    Schedule.KeepAlways("K");  // the window's last one, from the settings
    // P answers once; then its programmer is unplugged, the name still listed.
    Greetings({"P", "K"}, "P", 1, {"P"});
    EXPECT_EQ(Greetings({"P", "K"}, "P", 40).size(), 40u);
    EXPECT_EQ(Greetings({"P", "K"}, "K", 40).size(), 40u);
    Schedule.Due({});
    EXPECT_EQ(Greetings({"P"}, "P", 5).size(), 5u);  // also when it comes back
    EXPECT_TRUE(Schedule.States().front().Programmer);
}

TEST_F(ProbeSchedule, SearchNowGreetsEveryPortAtOnceAndFromOneTick) {
    Greetings({"A", "B"}, "A", 100);
    int told = 0;
    Schedule.SetOnChange([&told](const std::vector<TProbeState>&) { ++told; });
    Schedule.SearchNow();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(Schedule.Due({"A", "B"}), (TList{"A", "B"}));
    EXPECT_EQ(Greetings({"A", "B"}, "B", 4), (std::vector<int>{0, 1, 3}));
}

}  // namespace
}  // namespace corvane
