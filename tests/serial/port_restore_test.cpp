// A port is given back as it was found: the line settings that another
// program left on it return when the port closes, over real pseudo-terminals.

#include <gtest/gtest.h>
#include <termios.h>

#include "CPort.h"
#include "PtyHelpers.h"

namespace corvane {
namespace {

using testing::Pty;

// The settings of the terminal side, read through the master side (which
// an exclusive open of the terminal side does not keep out).
termios LineOf(const Pty& pty) {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty.Master(), &tio), 0);
    return tio;
}

// What a terminal program leaves behind: 115200 baud, canonical input with
// echo, hardware flow control, and no hang-up at close (DTR stays up).
void LeaveCookedAt115200(const Pty& pty) {
    termios tio = LineOf(pty);
    tio.c_lflag |= ICANON | ECHO;
    tio.c_cflag |= CRTSCTS;
    tio.c_cflag &= ~HUPCL;
    cfsetspeed(&tio, B115200);
    ASSERT_EQ(tcsetattr(pty.Master(), TCSANOW, &tio), 0);
}

void ExpectCookedAt115200(const Pty& pty) {
    const termios tio = LineOf(pty);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_NE(tio.c_lflag & ICANON, 0u);
    EXPECT_NE(tio.c_lflag & ECHO, 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cflag & HUPCL, 0u);
}

void UseProgrammerLine(TComPort& port, const Pty& pty) {
    port.SetPort(pty.Path());
    port.SetBaudRate(br9600);
    port.SetEvents({evRxChar});
}

TEST(PortRestore, LineSettingsComeBackAtClose) {
    Pty pty;
    LeaveCookedAt115200(pty);
    TComPort port;
    UseProgrammerLine(port, pty);
    port.OpenPort();
    // Open, the line is the programmer's (9600 baud, set as any rate is, raw).
    const termios open = LineOf(pty);
    EXPECT_NE(cfgetospeed(&open), B115200);
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(open.c_cflag & CRTSCTS, 0u);
    port.ClosePort();
    ExpectCookedAt115200(pty);

    // Each open starts from what it finds: a change made between two opens
    // is what the next close gives back.
    termios tio = LineOf(pty);
    cfsetspeed(&tio, B57600);
    tio.c_cflag |= HUPCL;
    ASSERT_EQ(tcsetattr(pty.Master(), TCSANOW, &tio), 0);
    port.OpenPort();
    port.ClosePort();
    const termios after = LineOf(pty);
    EXPECT_EQ(cfgetospeed(&after), B57600);
    EXPECT_NE(after.c_cflag & HUPCL, 0u);
}

TEST(PortRestore, AlsoWhenThePortMovesOnOrTheComponentGoes) {
    Pty first, second;
    LeaveCookedAt115200(first);
    LeaveCookedAt115200(second);
    {
        TComPort port;
        UseProgrammerLine(port, first);
        port.OpenPort();
        port.SetPort(second.Path());  // closes the first, opens the second
        EXPECT_TRUE(port.Connected());
        ExpectCookedAt115200(first);
        EXPECT_EQ(LineOf(second).c_lflag & ICANON, 0u);
    }
    ExpectCookedAt115200(second);
}

}  // namespace
}  // namespace corvane
