#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "LineTrace.h"
#include "LinkTestSupport.h"

namespace corvane {
namespace {

using test::DeviceMap;
using test::RecordingView;
using test::StartBoard;
using test::TempDir;
namespace sim = corvane::sim;

// The bytes of each direction, in order, and the comment lines.
struct Trace {
    std::string sent;
    std::string received;
    std::vector<std::string> notes;
};

Trace Parse(const std::string& text) {
    static const std::regex byteLine(R"(^ *[0-9]+\.[0-9]{3} (TX|RX) ([0-9A-F]{2}) \S+$)");
    Trace trace;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (line.starts_with("#")) {
            trace.notes.push_back(line);
        } else if (std::regex_match(line, m, byteLine)) {
            (m[1] == "TX" ? trace.sent : trace.received) +=
                static_cast<char>(std::stoi(m[2], nullptr, 16));
        } else {
            ADD_FAILURE() << "not a trace line: " << line;
        }
    }
    return trace;
}

class LineTraceTest : public ::testing::Test {
protected:
    void TearDown() override { SetDefaultLineTrace(nullptr); }

    DeviceMap map;
    TempDir dir;
    RecordingView view;
};

TEST_F(LineTraceTest, ALinkRecordsIntoTheDefaultTraceAsItGoes) {
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    boards.push_back(StartBoard(map, "a"));
    boards.push_back(StartBoard(map, "b"));
    test::SortByPort(boards);
    TComPort other;  // the first port is held elsewhere
    other.SetPort(boards[0]->PortPath());
    other.OpenPort();

    const std::string path = dir.File("trace.txt");
    SetDefaultLineTrace(TLineTrace::Open(path));
    TProgrammerLink link(view);
    link.PollProgrammer();
    ASSERT_EQ(link.ChipKind(), ck89C51);

    // Read while the trace is still open: every line is in the file already.
    const Trace trace = Parse(test::ReadWholeFile(path));
    EXPECT_EQ(trace.sent, "\rp");
    EXPECT_NE(trace.received.find("Yarv"), std::string::npos);
    EXPECT_EQ(trace.received.size(), boards[1]->BytesSent());
    ASSERT_GE(trace.notes.size(), 5u);
    // The ports were greeted at once; their lines come port by port, in the
    // order of the list. The port that could not be opened is named with
    // the reason.
    EXPECT_TRUE(
        trace.notes[2].ends_with(" search: 2 ports greeted at once; the lines of each "
                                 "follow in turn"))
        << trace.notes[2];
    EXPECT_NE(trace.notes[3].find(boards[0]->PortPath() + ": Unable to open com port"),
              std::string::npos)
        << trace.notes[3];
    EXPECT_TRUE(trace.notes[4].ends_with(" open " + boards[1]->PortPath())) << trace.notes[4];

    // A link told to trace nothing writes nothing more.
    const std::string before = test::ReadWholeFile(path);
    link.SetLineTrace(nullptr);
    link.PollProgrammer();
    EXPECT_EQ(link.ChipKind(), ck89C51);
    EXPECT_EQ(test::ReadWholeFile(path), before);
}

}  // namespace
}  // namespace corvane
