// The port over real pseudo-terminals: the test plays the far end.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "CPort.h"
#include "PtyHelpers.h"

namespace corvane {
namespace {

using testing::Pty;
using Clock = std::chrono::steady_clock;

// The main window's port on the pseudo-terminal, without event monitor.
void UseMainWindowPort(TCustomComPort& port, const Pty& pty) {
    port.SetPort(pty.Path());
    port.SetEvents({});
    port.Buffer().SetInputSize(4096);
    port.Buffer().SetOutputSize(4096);
    port.Timeouts().SetReadTotalMultiplier(100);
    port.Timeouts().SetReadTotalConstant(1000);
}

// Waits (blocking, not spinning) until `count` bytes are queued.
void AwaitQueued(TCustomComPort& port, int count) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (port.PendingInput() < count && Clock::now() < until) port.WaitForInput(100);
    ASSERT_EQ(port.PendingInput(), count);
}

int ErrorOf(const std::function<void()>& action, int* system = nullptr) {
    try {
        action();
    } catch (const EComPort& e) {
        if (system != nullptr) *system = e.SystemErrorCode();
        return e.ErrorCode();
    }
    return 0;
}

TEST(PortPty, OpenSendReadAndClose) {
    Pty pty;
    TComPort port;
    UseMainWindowPort(port, pty);
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    // A pseudo-terminal has no modem lines: it reports none.
    EXPECT_TRUE(port.ModemSignals().Empty());
    EXPECT_TRUE(port.LineErrors().Empty());

    port.SendChar('p');
    port.SendChar('\xff');
    EXPECT_EQ(pty.Read(2), "p\xff");

    pty.Write("Yarv>");
    AwaitQueued(port, 5);
    std::string text;
    EXPECT_EQ(port.ReadText(text, port.PendingInput()), 5);
    EXPECT_EQ(text, "Yarv>");
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    // Released: the next opener gets it.
    TComPort again;
    UseMainWindowPort(again, pty);
    EXPECT_NO_THROW(again.OpenPort());
}

TEST(PortPty, SecondOpenerIsRefused) {
    if (testing::UnderWine()) GTEST_SKIP() << "Wine lets a second opener have a held COM port";
    Pty pty;
    TComPort first;
    UseMainWindowPort(first, pty);
    first.OpenPort();
    TComPort second;
    UseMainWindowPort(second, pty);
    int system = 0;
    EXPECT_EQ(ErrorOf([&] { second.OpenPort(); }, &system), errOpenPort);
    EXPECT_GT(system, 0);
    EXPECT_FALSE(second.Connected());
}

#ifndef _WIN32
TEST(PortPty, OnlyTerminalsAreOpenedAndNothingIsWrittenToOthers) {
    testing::TempDir dir;
    const std::string file = dir.Path() + "/planted";
    std::ofstream(file) << "";
    const std::string fifo = dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {file, dir.Path(), fifo, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        TComPort port;
        port.SetPort(path);
        int system = 0;
        EXPECT_EQ(ErrorOf([&] { port.OpenPort(); }, &system), errOpenPort);
        EXPECT_EQ(system, ENOTTY);
        EXPECT_FALSE(port.Connected());
        EXPECT_EQ(ErrorOf([&] { port.SendChar('e'); }), errTransmitChar);
    }
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}
#endif

TEST(PortPty, UnknownNameFailsWithTheSystemNumber) {
    TComPort port;
    port.SetPort("corvane-no-such-port");
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errOpenPort);
        EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    }
}

TEST(PortPty, OneByteReadWithTheMainWindowsTimeouts) {
    Pty pty;
    TComPort port;
    UseMainWindowPort(port, pty);
    port.OpenPort();
    pty.Write("A");
    AwaitQueued(port, 1);
    char c = 0;
    EXPECT_EQ(port.ReadBytes(&c, 1), 1);
    EXPECT_EQ(c, 'A');

    // Silence: nothing after 100 x 1 + 1000 ms.
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadBytes(&c, 1), 0);
    const auto took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 3.0);
}

// The device's read time-outs, with the bytes already queued when the read
// is issued: the total is multiplier x count + constant; an interval ends a
// read once that long passes after a byte; an all-ones interval with both
// totals 0 returns at once with what is queued.
TEST(PortPty, ReadTimeOutRules) {
    struct Case {
        const char* Name;
        std::int32_t Interval, Multiplier, Constant, Count;
        std::string Sent;
        double AtLeast, Below;  // seconds
    };
    const Case cases[] = {
        {"what came, after the total", 0, 50, 200, 4, "ab", 0.35, 2.0},
        {"the count met ends it at once", 0, 50, 200, 2, "ab", 0.0, 0.5},
        {"a pause after a byte ends it", 150, 0, 0, 8, "abc", 0.1, 2.0},
        {"at once with what is queued", -1, 0, 0, 8, "xy", 0.0, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Pty pty;
        TComPort port;
        UseMainWindowPort(port, pty);
        port.Timeouts().SetReadInterval(c.Interval);
        port.Timeouts().SetReadTotalMultiplier(c.Multiplier);
        port.Timeouts().SetReadTotalConstant(c.Constant);
        port.OpenPort();
        pty.Write(c.Sent);
        AwaitQueued(port, static_cast<int>(c.Sent.size()));
        std::string text;
        const auto start = Clock::now();
        EXPECT_EQ(port.ReadText(text, c.Count), static_cast<int>(c.Sent.size()));
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(text, c.Sent);
        EXPECT_GE(took, c.AtLeast);
        EXPECT_LT(took, c.Below);
    }
}

TEST(PortPty, ReadWaitsForTheByteThatIsOnItsWay) {
    Pty pty;
    TComPort port;
    UseMainWindowPort(port, pty);
    port.OpenPort();
    // The byte is sent while the read is issued or already waiting.
    std::thread far([&] { pty.Write("Z"); });
    char c = 0;
    EXPECT_EQ(port.ReadBytes(&c, 1), 1);
    EXPECT_EQ(c, 'Z');
    far.join();
}

#ifndef _WIN32
// A reader that comes back only after its time is up (a busy machine) still
// gets the byte that came in time. (Windows' driver counts the time itself.)
TEST(PortPty, AReaderThatComesLateTakesTheByteThatCameInTime) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(200);
    port.OpenPort();
    IoRequest request;
    char c = 0;
    EXPECT_EQ(port.StartReadBytes(&c, 1, &request), 0);
    pty.Write("Z");
    AwaitQueued(port, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the late reader
    EXPECT_EQ(port.AwaitRequest(&request), 1);
    EXPECT_EQ(c, 'Z');
}
#endif

TEST(PortPty, ConstructionDefaultsReturnAtOnceWithWhatIsQueued) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetEvents({});
    port.OpenPort();
    char buf[8];
    EXPECT_EQ(port.ReadBytes(buf, 8), 0);
    pty.Write("xyz");
    AwaitQueued(port, 3);
    EXPECT_EQ(port.ReadBytes(buf, 8), 3);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_FALSE(port.WaitForInput(0));
}

TEST(PortPty, PurgeDiscardsQueuedInput) {
    Pty pty;
    TComPort port;
    UseMainWindowPort(port, pty);
    port.OpenPort();
    pty.Write("stale");
    AwaitQueued(port, 5);
    port.PurgeBuffers(true, true);
    EXPECT_EQ(port.PendingInput(), 0);
    pty.Write("new");
    AwaitQueued(port, 3);
    std::string text;
    EXPECT_EQ(port.ReadText(text, 3), 3);
    EXPECT_EQ(text, "new");
}

TEST(PortPty, CustomRateAndLineSettingsAreAccepted) {
    Pty pty;
    TComPort port;
    UseMainWindowPort(port, pty);
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(31250);
    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prEven);
    port.OpenPort();
    port.SetStopBits(sbTwoStopBits);
    // (Wine 8 refuses XON/XOFF on a pseudo-terminal.)
    if (!testing::UnderWine()) port.FlowControl().SetFlowControl(fcSoftware);
    port.Parity().SetBits(prSpace);
    EXPECT_TRUE(port.Connected());
    // Settings a line cannot take are refused by the device.
    int system = 0;
    EXPECT_EQ(ErrorOf([&] { port.SetCustomBaudRate(0); }, &system), errSetCommState);
#ifdef _WIN32
    EXPECT_EQ(system, 87);  // ERROR_INVALID_PARAMETER
#else
    EXPECT_EQ(system, EINVAL);
#endif
    EXPECT_TRUE(port.Connected());
}

// The far end goes away (on real hardware: the adapter is pulled out). The
// port still closes, and a new device opens afterwards.
TEST(PortPty, CloseAfterTheFarEndHasGoneThenOpenAnother) {
    auto pty = std::make_unique<Pty>();
    TComPort port;
    UseMainWindowPort(port, *pty);
    port.SetEvents({evRxChar});
    port.OpenPort();
    pty->CloseMaster();
    char c;
    EXPECT_EQ(ErrorOf([&] { port.ReadBytes(&c, 1); }), errReadFile);
    const int code = ErrorOf([&] { port.ClosePort(); });
    // Raised once the port is closed. (Under Wine the terminal whose far end
    // has gone still takes requests.)
    if (!testing::UnderWine()) {
        EXPECT_EQ(code, errPurgeComm);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.MonitorRunning());

    Pty fresh;
    port.SetPort(fresh.Path());
    port.OpenPort();
    port.SendChar('k');
    EXPECT_EQ(fresh.Read(1), "k");
}

#ifndef _WIN32
// Another program that has the terminal open too (root passes the exclusive
// open; Wine sets every port it opens so) may leave it reading an empty queue
// as 0 bytes: no hang-up, the port reads on. (Settings made on the master side
// are the terminal's.)
TEST(PortPty, AnEmptyReadIsNoHangUpWhenAnotherOpenerChangedTheLine) {
    Pty pty;
    TComPort port;
    UseMainWindowPort(port, pty);
    port.OpenPort();
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(pty.Master(), TCSANOW, &tio), 0);
    EXPECT_EQ(ErrorOf([&] { port.WaitForInput(10); }), 0);
    pty.Write("Y");
    AwaitQueued(port, 1);
    char text[2] = {};
    EXPECT_EQ(ErrorOf([&] { port.ReadBytes(text, 2); }), 0);  // the 'Y', then a time-out
    EXPECT_EQ(text[0], 'Y');
}
#endif

}  // namespace
}  // namespace corvane
