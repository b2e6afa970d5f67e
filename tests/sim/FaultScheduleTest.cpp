#include <gtest/gtest.h>

#include <stdexcept>

#include "FaultSchedule.h"

namespace corvane::sim {
namespace {

TEST(FaultSchedule, TextIsReadBackAsWritten) {
    const std::string text =
        "0 out\n120 in\n130 in stuck=7\n200 unplug 500\n205 move 50\n210 gone-in-pass last 300\n"
        "220 gone-in-pass 12 300\n300 lose 2\n310 late 1 1500\n320 xon-drop 5\n"
        "330 xoff-drop last\n340 erase-fail 10\n350 prompt usual\n360 prompt bare\n"
        "370 prompt crlf\n380 prompt text\n390 damage 1\n400 cut 2\n410 latency 16\n";
    EXPECT_EQ(ScheduleText(ParseSchedule(text)), text);
    EXPECT_EQ(ScheduleText(ParseSchedule("# by hand\n\n  5   lose 1  # a comment\n")),
              "5 lose 1\n");
    for (const char* bad : {"out", "5 fly", "5 lose", "5 lose x", "5 in 7", "5 xon-drop 0",
                            "5 prompt loud", "5 unplug 1 2", "9 out\n5 out"}) {
        EXPECT_THROW(ParseSchedule(bad), std::invalid_argument) << bad;
    }
}

TEST(FaultSchedule, ASeedDrawsTheSameScheduleEveryTime) {
    DrawOptions options;
    options.length = std::chrono::seconds(30);
    const FaultSchedule schedule = DrawSchedule(42, options);
    EXPECT_EQ(ScheduleText(DrawSchedule(42, options)), ScheduleText(schedule));
    EXPECT_EQ(ScheduleText(ParseSchedule(ScheduleText(schedule))), ScheduleText(schedule));
    options.board = 1;
    EXPECT_NE(ScheduleText(DrawSchedule(42, options)), ScheduleText(schedule));
    EXPECT_NE(ScheduleText(DrawSchedule(43, {})), ScheduleText(DrawSchedule(42, {})));
    EXPECT_TRUE(std::all_of(schedule.begin(), schedule.end(),
                            [&](const FaultEvent& e) { return e.at < options.length; }));
}

}  // namespace
}  // namespace corvane::sim
