#include <gtest/gtest.h>

#include <cerrno>

#include "FailingDevice.h"
#include "LinkTestSupport.h"

namespace corvane {
namespace {

using test::DeviceMap;
using test::RecordingView;
using test::StartBoard;
namespace sim = corvane::sim;

const std::vector<bool> kTimerOffThenOn{false, true};

class DiscoveryTest : public ::testing::Test {
protected:
    DeviceMap map;  // first: the environment points at it before anything polls
    RecordingView view;
    TProgrammerLink link{view};

    void Poll(std::stop_token stop = {}) {
        view.Reset();
        link.PollProgrammer(std::move(stop));
        EXPECT_EQ(view.timerStates, kTimerOffThenOn);
    }
};

TEST_F(DiscoveryTest, EmptyOrMissingMapMeansNoPort) {
    Poll();
    EXPECT_TRUE(link.PortList().empty());
    EXPECT_EQ(view.statuses, std::vector<std::string>{"Available port not found!"});
    EXPECT_EQ(link.LastStatus(), "Available port not found!");

    // A map that cannot be read is no ports at all, not an error.
    map.MakeMissing();
    Poll();
    EXPECT_TRUE(link.PortList().empty());
    EXPECT_EQ(view.statuses, std::vector<std::string>{"Available port not found!"});
    EXPECT_EQ(link.ChipKind(), ckNone);
}

TEST_F(DiscoveryTest, ScanGreetsEveryPortAndKeepsTheFirstProgrammerInTheList) {
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    for (const char* entry : {"a", "b", "c", "d"}) boards.push_back(StartBoard(map, entry));
    test::SortByPort(boards);
    // The first and the third port are something else that never answers.
    sim::Faults silent;
    silent.silent = true;
    boards[0]->SetFaults(silent);
    boards[2]->SetFaults(silent);
    boards[1]->InsertChip(sim::ChipFromCode("52"));

    Poll();
    ASSERT_EQ(link.PortList().size(), 4u);
    EXPECT_EQ(link.PortList()[1], boards[1]->PortPath());
    std::vector<std::string> expected;
    for (const auto& board : boards) expected.push_back("Try to connect by : " + board->PortPath());
    expected.insert(expected.end(), {"Identify target chip ...", ""});
    EXPECT_EQ(view.statuses, expected);
    EXPECT_EQ(view.statusRepaints, 5);
    EXPECT_EQ(link.ChipKind(), ck89C52);
    EXPECT_EQ(link.SourceImage().MemSize(), 8192);
    EXPECT_EQ(link.ComPort().Port(), boards[1]->PortPath());
    // Every port was greeted; only the programmer's stays open.
    for (std::size_t i = 0; i < boards.size(); ++i) {
        EXPECT_EQ(boards[i]->BytesReceived(), i % 2 == 0 ? 1u : 2u) << i;
        EXPECT_EQ(test::PortIsFree(boards[i]->PortPath()), i != 1) << i;
    }
    EXPECT_EQ(boards[3]->CommandLog(), (std::vector<std::string>{"\r", "p"}));

    // Known now: the next tick greets the same port again, without a word.
    Poll();
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_EQ(link.ChipKind(), ck89C52);
    EXPECT_EQ(boards[1]->CommandLog(), (std::vector<std::string>{"\r", "p", "\r", "p"}));
    EXPECT_EQ(boards[0]->BytesReceived(), 1u);
}

// Of two programmers, the first in the list with an empty socket: the scan
// keeps the one that holds a chip.
TEST_F(DiscoveryTest, AnEmptySocketFirstInTheListDoesNotHideAChip) {
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    for (const char* entry : {"a", "b"}) boards.push_back(StartBoard(map, entry));
    test::SortByPort(boards);
    boards[0]->InsertChip(sim::ChipFromCode("00"));
    boards[1]->InsertChip(sim::ChipFromCode("52"));
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89C52);
    EXPECT_EQ(link.ComPort().Port(), boards[1]->PortPath());
    EXPECT_TRUE(test::PortIsFree(boards[0]->PortPath()));
}

TEST_F(DiscoveryTest, APollThatFindsNoProgrammerLeavesEveryPortClosed) {
    auto board = StartBoard(map, "a");
    sim::Faults silent;
    silent.silent = true;
    board->SetFaults(silent);
    Poll();
    EXPECT_EQ(board->BytesReceived(), 1u);
    EXPECT_TRUE(test::PortIsFree(board->PortPath()));

    // The same when the programmer of a known chip falls silent. (The silent
    // port waits its turn now: searched at once, as F5 does.)
    board->SetFaults({});
    link.ProbeSchedule().SearchNow();
    Poll();
    ASSERT_EQ(link.ChipKind(), ck89C51);
    board->SetFaults(silent);
    Poll();
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_TRUE(test::PortIsFree(board->PortPath()));
}

TEST_F(DiscoveryTest, ASilentPortWaitsItsTurnWhileAProgrammerThatAppearsIsFoundAtOnce) {
    TProbeSchedule::TClock::time_point now{};
    link.ProbeSchedule() = TProbeSchedule([&now] { return now; });
    auto silent = StartBoard(map, "a");
    sim::Faults mute;
    mute.silent = true;
    silent->SetFaults(mute);
    // Greeted at ticks 0 and 1, then not before tick 3.
    for (int tick = 0; tick < 3; ++tick, now += TProbeSchedule::kTick) Poll();
    now -= TProbeSchedule::kTick;
    EXPECT_EQ(silent->BytesReceived(), 2u);
    EXPECT_EQ(link.LastStatus(), "");  // a port waiting is no port missing
    auto board = StartBoard(map, "b");
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89C51);
    EXPECT_EQ(silent->BytesReceived(), 2u);
}

TEST_F(DiscoveryTest, AStopDuringTheScanReachesTheSearchAndKeepsNoPort) {
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    for (const char* entry : {"a", "b"}) boards.push_back(StartBoard(map, entry));
    // The silent one keeps the search going for its greeting budget.
    sim::Faults silent;
    silent.silent = true;
    boards[0]->SetFaults(silent);
    std::stop_source stop;
    view.onStatus = [&stop](const std::string& text) {
        if (text.starts_with("Try to connect by : ")) stop.request_stop();
    };
    Poll(stop.get_token());
    EXPECT_EQ(link.ChipKind(), ckNone);
    for (const auto& board : boards) EXPECT_TRUE(test::PortIsFree(board->PortPath()));
}

TEST_F(DiscoveryTest, A2051GreetingNeedsNoQuery) {
    auto board = StartBoard(map, "prog", test::BoardWith(sim::Chip2051(2048)));
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89C2051);
    EXPECT_EQ(board->CommandLog(), std::vector<std::string>{"\r"});
    // Its size is the front end's choice, applied when it shows the chip.
    EXPECT_EQ(link.SourceImage().MemSize(), 0);
}

TEST_F(DiscoveryTest, ChipCodesSizeTheImagesAndUnknownCodesScanAgain) {
    auto board = StartBoard(map, "prog", test::BoardWith(sim::ChipFromCode("65")));
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89LV55);
    EXPECT_EQ(link.SourceImage().MemSize(), 20480);
    EXPECT_EQ(link.ReadImage().MemSize(), 20480);

    // Another chip in the socket shows at the next tick.
    board->InsertChip(sim::ChipFromCode("51"));
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89C51);
    EXPECT_EQ(link.SourceImage().MemSize(), 4096);
    EXPECT_EQ(link.ReadImage().MemSize(), 4096);

    // A code that straddles two table entries is no chip; the sizes stay.
    board->InsertChip(sim::ChipFromCode("16"));
    Poll();
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_EQ(link.SourceImage().MemSize(), 4096);

    // Searching again: the next tick scans, finds the programmer, but no chip.
    Poll();
    EXPECT_EQ(view.statuses, (std::vector<std::string>{"Try to connect by : " + board->PortPath(),
                                                       "Identify target chip ...", ""}));
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_TRUE(link.ComPort().Connected());

    board->InsertChip(sim::ChipFromCode("52"));
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89C52);
}

TEST_F(DiscoveryTest, AnUnansweredChipQueryChangesNothing) {
    // The one slow test here: the chip query waits its whole 30 s.
    auto board = StartBoard(map, "prog", test::BoardWith(sim::ChipFromCode("52")));
    Poll();
    ASSERT_EQ(link.ChipKind(), ck89C52);
    sim::Faults faults;
    faults.noAnswerToP = true;
    board->SetFaults(faults);
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89C52);
    EXPECT_TRUE(view.statuses.empty());
}

TEST_F(DiscoveryTest, UnpluggedProgrammerIsDroppedAndFoundAgain) {
    auto board = StartBoard(map, "prog", test::BoardWith(sim::ChipFromCode("61")));
    Poll();
    ASSERT_EQ(link.ChipKind(), ck89LV51);
    const std::string oldPath = board->PortPath();
    ASSERT_TRUE(test::ProcessHolds(oldPath));

    board->Unplug();
    Poll();
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_FALSE(link.ComPort().Connected());
    EXPECT_FALSE(test::ProcessHolds(oldPath));
    EXPECT_TRUE(view.messages.empty());

    board->Plug();
    Poll();
    EXPECT_EQ(link.ChipKind(), ck89LV51);
    EXPECT_EQ(link.ComPort().Port(), board->PortPath());
}

TEST_F(DiscoveryTest, APortHeldByAnotherProgramIsSkippedSilently) {
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    boards.push_back(StartBoard(map, "a", test::BoardWith(sim::ChipFromCode("51"))));
    boards.push_back(StartBoard(map, "b", test::BoardWith(sim::ChipFromCode("55"))));
    test::SortByPort(boards);
    TComPort other;
    other.SetPort(boards[0]->PortPath());
    other.OpenPort();

    Poll();
    EXPECT_EQ(view.statuses,
              (std::vector<std::string>{"Try to connect by : " + boards[1]->PortPath(),
                                        "Identify target chip ...", ""}));
    EXPECT_EQ(link.ChipKind(), boards[1]->CurrentChip().code == "55" ? ck89C55 : ck89C51);
    EXPECT_EQ(boards[0]->BytesReceived(), 0u);
}

TEST_F(DiscoveryTest, NoPortThatOpensMeansNoPortFound) {
    auto board = StartBoard(map, "a");
    TComPort other;
    other.SetPort(board->PortPath());
    other.OpenPort();
    Poll();
    EXPECT_EQ(view.statuses, std::vector<std::string>{"Available port not found!"});
    EXPECT_EQ(link.ChipKind(), ckNone);
}

TEST(DiscoveryWithFailingPort, APortThatCannotBeClosedInOrderIsReleasedAndScannedAgain) {
    DeviceMap map;
    auto board = StartBoard(map, "prog", test::BoardWith(sim::ChipFromCode("52")));
    auto faults = std::make_shared<test::DeviceFaults>();
    RecordingView view;
    TProgrammerLink link(view);
    link.SetPortFactory([faults] {
        auto port = std::make_unique<TComPort>(std::make_unique<test::FailingDevice>(faults));
        TProgrammerLink::ApplyProgrammerSettings(*port);
        return port;
    });
    link.PollProgrammer();
    ASSERT_EQ(link.ChipKind(), ck89C52);

    // The greeting cannot be sent, and the close that follows stops at its purge.
    faults->transmitErrno = EIO;
    faults->purgeErrno = EIO;
    view.Reset();
    link.PollProgrammer();
    EXPECT_EQ(view.timerStates, kTimerOffThenOn);
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_FALSE(link.ComPort().Connected());
    // Released: another opener gets the port.
    {
        TComPort other;
        other.SetPort(board->PortPath());
        EXPECT_NO_THROW(other.OpenPort());
    }
    EXPECT_TRUE(view.messages.empty());

    // The programmer is still there: the next tick finds it again.
    faults->transmitErrno = 0;
    faults->purgeErrno = 0;
    view.Reset();
    link.PollProgrammer();
    EXPECT_EQ(link.ChipKind(), ck89C52);
    EXPECT_EQ(view.statuses, (std::vector<std::string>{"Try to connect by : " + board->PortPath(),
                                                       "Identify target chip ...", ""}));
}

}  // namespace
}  // namespace corvane
