// The search for the programmer on a machine whose ports have other users:
// the console, a port that a second process holds, ports the user's settings
// exclude, and ports this user may not open. Virtual programmers on real
// pseudo-terminals.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "Discovery.h"
#include "LinkTestSupport.h"
#include "PortUsers.h"

namespace corvane {
namespace {

using test::DeviceMap;
using test::HeldOpen;
using test::NoAccess;
using test::RecordingView;
using test::StartBoard;
using test::TempDir;

class PortScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Readable by all, so that a thread that is not root's still lists the map.
        const std::filesystem::path dir(map.Dir());
        chmod(dir.parent_path().c_str(), 0755);
        chmod(dir.c_str(), 0755);
        chmod(config.Path().c_str(), 0755);
        TPortScreen screen;
        screen.Consoles = std::vector<std::string>{};
        screen.SettingsFile = config.File("corvane.ini");
        link.SetPortScreen(screen);
    }

    void Poll() {
        view.Reset();
        link.PollProgrammer();
    }

    std::vector<std::string> Tried() const {
        std::vector<std::string> tried;
        for (const auto& s : view.statuses) {
            if (s.rfind("Try to connect by : ", 0) == 0) tried.push_back(s.substr(20));
        }
        return tried;
    }

    DeviceMap map;
    TempDir config;
    RecordingView view;
    TProgrammerLink link{view};
};

TEST_F(PortScreenTest, ConsoleBusyAndExcludedPortsAreNeverOpened) {
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    for (const char* entry : {"a", "b", "c", "d"}) {
        boards.push_back(StartBoard(map, entry, test::BoardWith(sim::ChipFromCode("52"))));
    }
    test::SortByPort(boards);
    const std::string console = boards[0]->PortPath();
    const std::string busy = boards[1]->PortPath();
    const std::string excluded = boards[2]->PortPath();
    const std::string programmer = boards[3]->PortPath();

    TPortScreen screen = link.PortScreen();
    screen.Consoles = std::vector<std::string>{console.substr(5)};  // "pts/N"
    link.SetPortScreen(screen);
    std::ofstream(*screen.SettingsFile) << "[Ports]\nNeverScan=" << excluded << "\n";
    HeldOpen terminalProgram(busy);

    Poll();
    EXPECT_EQ(Tried(), std::vector<std::string>{programmer});
    EXPECT_EQ(link.ChipKind(), ck89C52);
    EXPECT_EQ(link.ComPort().Port(), programmer);
    // The three others were not even opened: nothing was written into them.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(boards[i]->BytesReceived(), 0u) << i;
    const auto& checks = link.PortChecks();
    ASSERT_EQ(checks.size(), 4u);
    EXPECT_EQ(checks[0].Verdict, TPortVerdict::Console);
    EXPECT_EQ(checks[1].Verdict, TPortVerdict::Busy);
    EXPECT_EQ(checks[1].Holders, std::vector<pid_t>{terminalProgram.Pid()});
    EXPECT_EQ(checks[2].Verdict, TPortVerdict::Excluded);
    EXPECT_EQ(checks[3].Verdict, TPortVerdict::Scan);
    EXPECT_TRUE(view.notices.empty());  // nothing to explain
}

TEST_F(PortScreenTest, APortTakenAfterTheListWasScreenedIsLeftAlone) {
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    boards.push_back(StartBoard(map, "a"));
    boards.push_back(StartBoard(map, "b"));
    test::SortByPort(boards);
    // Another program takes the second port while the scan makes ready to
    // greet it (the port objects are made after the screening).
    std::unique_ptr<HeldOpen> terminalProgram;
    int made = 0;
    link.SetPortFactory([&] {
        if (++made == 2) terminalProgram = std::make_unique<HeldOpen>(boards[1]->PortPath());
        return MakeProgrammerPort();
    });

    Poll();
    EXPECT_EQ(Tried(), std::vector<std::string>{boards[0]->PortPath()});
    EXPECT_EQ(boards[1]->BytesReceived(), 0u);
    ASSERT_TRUE(terminalProgram);
    EXPECT_EQ(link.PortChecks().at(1).Verdict, TPortVerdict::Busy);
    EXPECT_EQ(link.PortChecks().at(1).Holders, std::vector<pid_t>{terminalProgram->Pid()});
}

TEST_F(PortScreenTest, WhenEveryPortIsLeftAloneTheStatusSaysNoPortAsBefore) {
    auto board = StartBoard(map, "a");
    HeldOpen terminalProgram(board->PortPath());
    Poll();
    EXPECT_EQ(view.statuses, std::vector<std::string>{"Available port not found!"});
    EXPECT_EQ(board->BytesReceived(), 0u);
    EXPECT_EQ(link.ChipKind(), ckNone);

    // With the screening off (a port the user named), the busy port is greeted.
    TPortScreen screen = link.PortScreen();
    screen.Enabled = false;
    link.SetPortScreen(screen);
    Poll();
    EXPECT_EQ(Tried(), std::vector<std::string>{board->PortPath()});
    EXPECT_EQ(link.ChipKind(), ck89C51);
}

TEST_F(PortScreenTest, APortRefusedForLackOfPermissionIsExplainedOncePerChange) {
    auto board = StartBoard(map, "a");
    const std::string port = board->PortPath();
    for (bool screening : {true, false}) {
        SCOPED_TRACE(screening ? "screened" : "tried and refused at the open");
        TPortScreen screen = link.PortScreen();
        screen.Enabled = screening;
        link.SetPortScreen(screen);
        view.notices.clear();
        {
            NoAccess denied(port);
            Poll();
            // The status line keeps its own text; the explanation goes beside it.
            EXPECT_EQ(view.LastStatus(), "Available port not found!");
            ASSERT_EQ(view.notices.size(), 1u);
            EXPECT_EQ(view.notices[0].rfind(port + ": Permission denied\n", 0), 0u)
                << view.notices[0];
            EXPECT_NE(view.notices[0].find("usermod -aG"), std::string::npos);
            EXPECT_EQ(link.PortNotice(), view.notices[0]);
            EXPECT_EQ(link.PortChecks().at(0).Verdict, TPortVerdict::NoPermission);
            EXPECT_EQ(link.PortChecks().at(0).Error, EACCES);
            Poll();
            EXPECT_EQ(view.notices.size(), 1u);  // unchanged: not told again
        }
        // Allowed again: the programmer is found and the explanation goes.
        Poll();
        EXPECT_EQ(link.ChipKind(), ck89C51);
        EXPECT_EQ(view.notices, (std::vector<std::string>{view.notices.at(0), ""}));
        EXPECT_EQ(link.PortNotice(), "");
        link.ComPort().ClosePort();
        link.SetChipKind(ckNone);
    }
}

TEST_F(PortScreenTest, APortIsGivenBackAsFoundAfterTheProgrammerWentSilent) {
    auto board = StartBoard(map, "a");
    const std::string port = board->PortPath();
    // Another program left the line at 115200 baud, canonical, with echo.
    {
        const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        tio.c_lflag |= ICANON | ECHO;
        cfsetspeed(&tio, B115200);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
        close(fd);
    }
    Poll();
    ASSERT_EQ(link.ChipKind(), ck89C51);
    sim::Faults silent;
    silent.silent = true;
    board->SetFaults(silent);
    Poll();
    EXPECT_EQ(link.ChipKind(), ckNone);
    // The device is still there; the port closes when the link goes (or the
    // scan moves on) and gets back what it had.
    link.ComPort().ClosePort();
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_NE(tio.c_lflag & ICANON, 0u);
}

}  // namespace
}  // namespace corvane
