// The search for programmers: every port that may be opened is greeted at
// once, and every board that answers is found, in the order of the list.
// Real pseudo-terminals, virtual programmers and a line the test plays.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "Discovery.h"
#include "LinkTestSupport.h"
#include "PortEnum.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::BoardWith;
using test::DeviceMap;
using test::RawLine;

TEST(ProgrammerSearch, SilentPortsAreGreetedTogetherAndEveryBoardIsFoundInListOrder) {
    DeviceMap map;
    sim::Faults mute;
    mute.silent = true;
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(std::make_unique<sim::VirtualProgrammer>());
        silent.back()->SetFaults(mute);
        silent.back()->Start();
    }
    // The first board answers its greeting only once every silent port has
    // been greeted too. Were the ports greeted one after another, it would
    // have spent its budget long before.
    RawLine first;
    first.Respond([&silent](char c) -> std::string {
        if (c == 'p') return "p52,1 ok\r\n>";
        if (c != '\r') return "";
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < until &&
               !std::all_of(silent.begin(), silent.end(),
                            [](const auto& s) { return s->BytesReceived() > 0; })) {
            std::this_thread::sleep_for(1ms);
        }
        return "\r\nYarv\r\n>";
    });
    sim::VirtualProgrammer board55(BoardWith(sim::ChipFromCode("55")));
    sim::VirtualProgrammer board2051(BoardWith(sim::Chip2051(4096)));
    board55.Start();
    board2051.Start();
    const std::vector<std::string> names{
        map.AddNamed("p0", first.Path()),         map.AddNamed("p1", silent[0]->PortPath()),
        map.AddNamed("p2", board55.PortPath()),   map.AddNamed("p3", silent[1]->PortPath()),
        map.AddNamed("p4", board2051.PortPath()), map.AddNamed("p5", silent[2]->PortPath())};
    std::vector<std::string> ports;
    ListSerialPorts(ports);
    ASSERT_EQ(ports, names);

    std::vector<std::string> opened, answered;
    TSearchOptions options;
    options.OnOpened = [&opened](const std::string& port) { opened.push_back(port); };
    options.OnAnswered = [&answered](const std::string& port) { answered.push_back(port); };
    const TSearchResult result = FindProgrammers(ports, options);
    EXPECT_TRUE(result.Opened);
    EXPECT_EQ(opened, names);
    EXPECT_EQ(answered, (std::vector<std::string>{names[0], names[2], names[4]}));

    const struct {
        std::string port;
        TChipKind kind;
    } expected[] = {{names[0], ck89C52}, {names[2], ck89C55}, {names[4], ck89C2051}};
    ASSERT_EQ(result.Programmers.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const TFoundProgrammer& found = result.Programmers[i];
        EXPECT_EQ(found.Port, expected[i].port);
        EXPECT_EQ(found.ChipKind, expected[i].kind) << found.Port;
        ASSERT_TRUE(found.ComPort && found.ComPort->Connected()) << found.Port;
        EXPECT_EQ(found.ComPort->Port(), found.Port);
    }
    // Greeted once each, then given back.
    for (const auto& s : silent) {
        EXPECT_EQ(s->BytesReceived(), 1u);
        EXPECT_TRUE(test::PortIsFree(s->PortPath()));
    }
}

}  // namespace
}  // namespace corvane
