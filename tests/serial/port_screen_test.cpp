// Which ports a scan may open: consoles, ports that a second process holds,
// the user's settings, permission and devices that are no terminals, over
// real pseudo-terminals and real processes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "PortScreen.h"
#include "PortUsers.h"
#include "PtyHelpers.h"

namespace corvane::testing {
namespace {

using test::HeldOpen;
using test::NoAccess;
using test::PtyOwner;

// A screen that reads nothing of the machine's own: no consoles (unless
// given) and a settings file in the test's directory.
TPortScreen Screen(const TempDir& dir, std::vector<std::string> consoles = {}) {
    TPortScreen screen;
    screen.Consoles = std::move(consoles);
    screen.SettingsFile = dir.File("corvane.ini");
    return screen;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

TPortCheck CheckOne(const std::string& port, const TPortScreen& screen) {
    const auto checks = CheckPorts({port}, screen);
    EXPECT_EQ(checks.size(), 1u);
    return checks.at(0);
}

TEST(PortScreen, ConsolesAreLeftAloneByNameAndByDevice) {
    Pty pty;
    TempDir dir;
    const std::string name = pty.Path().substr(5);  // "pts/N", as the kernel names consoles
    EXPECT_EQ(CheckOne(pty.Path(), Screen(dir)).Verdict, TPortVerdict::Scan);
    EXPECT_EQ(CheckOne(pty.Path(), Screen(dir, {"ttyS0", name})).Verdict, TPortVerdict::Console);
    EXPECT_EQ(CheckOne(pty.Path(), Screen(dir, {pty.Path()})).Verdict, TPortVerdict::Console);
    // Another name of the console's device is the console too.
    const std::string link = dir.File("serial0");
    std::filesystem::create_symlink(pty.Path(), link);
    EXPECT_EQ(CheckOne(link, Screen(dir, {name})).Verdict, TPortVerdict::Console);
    EXPECT_EQ(VerdictText(CheckOne(link, Screen(dir, {name}))), "console");
}

TEST(PortScreen, APortThatASecondProcessHoldsIsBusyUntilItLetsGo) {
    Pty pty;
    TempDir dir;
    {
        HeldOpen holder(pty.Path());
        const TPortCheck check = CheckOne(pty.Path(), Screen(dir));
        EXPECT_EQ(check.Verdict, TPortVerdict::Busy);
        EXPECT_EQ(check.Holders, std::vector<pid_t>{holder.Pid()});
        EXPECT_EQ(VerdictText(check),
                  "busy (held by process " + std::to_string(holder.Pid()) + ")");
    }
    EXPECT_EQ(CheckOne(pty.Path(), Screen(dir)).Verdict, TPortVerdict::Scan);

    // This process's own descriptors never make a port busy.
    const int own = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(own, 0);
    EXPECT_EQ(CheckOne(pty.Path(), Screen(dir)).Verdict, TPortVerdict::Scan);
    close(own);
}

TEST(PortScreen, TheProcessThatIsThePseudoTerminalsDeviceDoesNotMakeItBusy) {
    TempDir dir;
    PtyOwner board;  // holds the master and keeps the slave open as well
    EXPECT_EQ(CheckOne(board.Path(), Screen(dir)).Verdict, TPortVerdict::Scan);
    // A third process on the slave side is a user of it.
    HeldOpen user(board.Path());
    const TPortCheck check = CheckOne(board.Path(), Screen(dir));
    EXPECT_EQ(check.Verdict, TPortVerdict::Busy);
    EXPECT_EQ(check.Holders, std::vector<pid_t>{user.Pid()});
}

TEST(PortScreen, RulesMatchNamesPathsPatternsAndOtherNamesOfTheDevice) {
    Pty pty;
    TempDir dir;
    const std::string byId = dir.File("usb-FTDI_board-if00-port0");
    std::filesystem::create_symlink(pty.Path(), byId);
    struct Case {
        std::vector<std::string> only, never;
        std::string port;
        bool excluded;
    };
    const Case cases[] = {
        {{}, {}, "/dev/ttyUSB0", false},
        {{}, {"/dev/ttyUSB0"}, "/dev/ttyUSB0", true},
        {{}, {"ttyUSB0"}, "/dev/ttyUSB0", true},         // a name under /dev
        {{}, {"/dev/ttyUSB*"}, "/dev/ttyUSB3", true},    // a pattern over paths
        {{}, {"ttyUSB*"}, "/dev/ttyUSB3", true},         // over the device's own name
        {{}, {"/dev/tty*"}, "/dev/serial/ttyX", false},  // * stops at a slash
        {{}, {"ttyS[0-3]"}, "/dev/ttyS2", true},
        {{}, {"ttyS[0-3]"}, "/dev/ttyS4", false},
        {{"/dev/ttyACM*"}, {}, "/dev/ttyACM0", false},
        {{"/dev/ttyACM*"}, {}, "/dev/ttyUSB0", true},           // not among the only ones
        {{"/dev/ttyACM*"}, {"ttyACM1"}, "/dev/ttyACM1", true},  // never wins
        {{}, {byId}, pty.Path(), true},   // an entry naming another link to the same device
        {{byId}, {}, pty.Path(), false},  // and the same for the only ones
    };
    for (const Case& c : cases) {
        TPortRules rules{c.only, c.never};
        EXPECT_EQ(rules.Excludes(c.port), c.excluded)
            << c.port << " only " << c.only.size() << " never " << c.never.size();
    }
}

TEST(PortScreen, TheSettingsFileNamesThePortsToScanOrNever) {
    TempDir dir;
    Pty a, b, c;
    const TPortScreen screen = Screen(dir);
    WriteFile(*screen.SettingsFile,
              "; ports for corvane\n[Ports]\nNeverScan=" + a.Path() + ", " + b.Path() + "\n");
    auto checks = CheckPorts({a.Path(), b.Path(), c.Path()}, screen);
    EXPECT_EQ(checks[0].Verdict, TPortVerdict::Excluded);
    EXPECT_EQ(checks[1].Verdict, TPortVerdict::Excluded);
    EXPECT_EQ(checks[2].Verdict, TPortVerdict::Scan);
    EXPECT_EQ(VerdictText(checks[0]), "excluded");

    // A change counts from the next check on.
    WriteFile(*screen.SettingsFile, "[ports]\nScanOnly=  " + b.Path() + "\t" + c.Path() + "\n");
    checks = CheckPorts({a.Path(), b.Path(), c.Path()}, screen);
    EXPECT_EQ(checks[0].Verdict, TPortVerdict::Excluded);
    EXPECT_EQ(checks[1].Verdict, TPortVerdict::Scan);
    EXPECT_EQ(checks[2].Verdict, TPortVerdict::Scan);

    // A file that cannot be read excludes nothing, and says why.
    std::filesystem::remove(*screen.SettingsFile);
    std::filesystem::create_directory(*screen.SettingsFile);
    std::string problem;
    checks = CheckPorts({a.Path()}, screen, &problem);
    EXPECT_EQ(checks[0].Verdict, TPortVerdict::Scan);
    EXPECT_NE(problem.find(*screen.SettingsFile), std::string::npos) << problem;

    // Screening off: every port is tried, whatever the file says.
    TPortScreen off = screen;
    off.Enabled = false;
    off.Consoles = std::vector<std::string>{a.Path()};
    EXPECT_EQ(CheckPorts({a.Path()}, off)[0].Verdict, TPortVerdict::Scan);
}

TEST(PortScreen, NoPermissionNotATerminalAndAbsent) {
    TempDir dir;
    Pty pty;
    const std::string file = dir.File("plain-file");
    WriteFile(file, "not a port");
    {
        NoAccess denied(pty.Path());
        const TPortCheck check = CheckOne(pty.Path(), Screen(dir));
        EXPECT_EQ(check.Verdict, TPortVerdict::NoPermission);
        EXPECT_EQ(check.Error, EACCES);
        EXPECT_EQ(VerdictText(check), "no permission (Permission denied)");
    }
    EXPECT_EQ(CheckOne(file, Screen(dir)).Verdict, TPortVerdict::NotTerminal);
    EXPECT_EQ(CheckOne("/dev/null", Screen(dir)).Verdict, TPortVerdict::NotTerminal);
    EXPECT_EQ(VerdictText(CheckOne(file, Screen(dir))), "not a terminal");
    const TPortCheck gone = CheckOne(dir.File("gone"), Screen(dir));
    EXPECT_EQ(gone.Verdict, TPortVerdict::Absent);
    EXPECT_EQ(gone.Error, ENOENT);
}

TEST(PortScreen, PermissionAdviceNamesEachPortTheMessageAndTheFix) {
    Pty a, b;
    const std::vector<TPortCheck> checks{{a.Path(), TPortVerdict::NoPermission, EACCES, {}},
                                         {"/dev/ttyS0", TPortVerdict::Console, 0, {}},
                                         {b.Path(), TPortVerdict::NoPermission, EPERM, {}}};
    const std::string advice = PermissionAdvice(checks);
    EXPECT_NE(advice.find(a.Path() + ": Permission denied\n"), std::string::npos) << advice;
    EXPECT_NE(advice.find(b.Path() + ": Operation not permitted\n"), std::string::npos);
    EXPECT_EQ(advice.find("ttyS0"), std::string::npos);
    EXPECT_NE(advice.find("sudo usermod -aG "), std::string::npos);
    EXPECT_NE(advice.find("log out and in again"), std::string::npos);
    // The group is the device's own when it has one.
    struct stat st {};
    ASSERT_EQ(stat(a.Path().c_str(), &st), 0);
    if (st.st_gid == 0) {
        EXPECT_NE(advice.find("\"dialout\""), std::string::npos);
    }

    EXPECT_EQ(PermissionAdvice({{a.Path(), TPortVerdict::Busy, 0, {}}}), "");
}

}  // namespace
}  // namespace corvane::testing
