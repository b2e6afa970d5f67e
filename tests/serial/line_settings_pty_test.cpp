// Settings that the terminal driver does not carry out itself, honoured by
// the port over a real pseudo-terminal: the event character, discarding NUL
// bytes, and parity checking that leaves the received bytes as they were.

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "CPort.h"
#include "PtyHelpers.h"
#include "Watchdog.h"

namespace corvane {
namespace {

using testing::Pty;
using testing::ServeFor;

TEST(LineSettingsPty, EventCharacterRaisesRxFlagAsItArrives) {
    for (TSyncMethod sm : {smThreadSync, smWindowSync}) {
        Pty pty;
        TComPort port;
        port.SetPort(pty.Path());
        port.SetEvents({evRxChar, evRxFlag});
        port.SetSyncMethod(sm);
        port.SetEventChar('>');
        int flags = 0;
        std::int32_t counted = 0;
        port.OnRxFlag = [&](TCustomComPort&) { ++flags; };
        port.OnRxChar = [&](TCustomComPort&, std::int32_t n) { counted = n; };
        port.OpenPort();
        pty.Write("abc");
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return counted == 3; }));
        EXPECT_EQ(flags, 0);
        pty.Write("Yarv>");
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return flags == 1; }));
        // The bytes are all still there for the reader.
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return counted == 8; }));
        std::string text;
        EXPECT_EQ(port.ReadText(text, 8), 8);
        EXPECT_EQ(text, "abcYarv>");
        // A change while open takes effect at once.
        port.SetEventChar('!');
        pty.Write(">!");
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return flags == 2; }));
        EXPECT_EQ(port.ReadText(text, 2), 2);
        port.ClosePort();
        EXPECT_EQ(flags, 2);
    }
}

// The event character is seen also when the reader takes the bytes before
// the monitor looks at them.
TEST(LineSettingsPty, EventCharacterTakenByAReaderStillRaisesRxFlag) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetEvents({evRxFlag});
    port.SetEventChar('>');
    port.Timeouts().SetReadTotalConstant(5000);
    std::atomic<int> flags{0};
    port.OnRxFlag = [&](TCustomComPort&) { ++flags; };
    port.OpenPort();
    for (int i = 0; i < 20; ++i) {
        pty.Write(">");
        char c = 0;
        ASSERT_EQ(port.ReadBytes(&c, 1), 1);
        EXPECT_EQ(c, '>');
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return flags == i + 1; }));
    }
    port.ClosePort();
}

TEST(LineSettingsPty, DiscardNullDropsNulBytesFromCountsAndReads) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetEvents({});
    port.Timeouts().SetReadTotalConstant(5000);
    port.SetDiscardNull(true);
    port.OpenPort();
    pty.Write(std::string("a\0b\0\0c", 6));
    std::string text;
    EXPECT_EQ(port.ReadText(text, 3), 3);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(port.PendingInput(), 0);
    // Switched off while open, NUL bytes are data again.
    port.SetDiscardNull(false);
    pty.Write(std::string("\0d", 2));
    EXPECT_EQ(port.ReadText(text, 2), 2);
    EXPECT_EQ(text, std::string("\0d", 2));
    port.ClosePort();
}

// With parity checked (and errors replaced) the driver marks bad bytes in
// the stream; the port takes the marks out again, so good bytes, 0xFF and
// NUL included, arrive as they were sent.
TEST(LineSettingsPty, ParityCheckingLeavesGoodBytesAsTheyWere) {
    for (bool replace : {false, true}) {
        Pty pty;
        TComPort port;
        port.SetPort(pty.Path());
        port.SetEvents({evRxChar});
        port.Timeouts().SetReadTotalConstant(5000);
        port.Parity().SetBits(prEven);
        port.Parity().SetCheck(true);
        port.Parity().SetReplace(replace);
        port.Parity().SetReplaceChar('?');
        port.OpenPort();
        const std::string sent("\xff\x00\xff\xffz\x00", 6);
        pty.Write(sent);
        std::string text;
        EXPECT_EQ(port.ReadText(text, 6), 6);
        EXPECT_EQ(text, sent);
        EXPECT_EQ(port.PendingInput(), 0);
        port.ClosePort();
    }
}

}  // namespace
}  // namespace corvane
