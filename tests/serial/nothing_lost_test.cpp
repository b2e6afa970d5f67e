// Nothing that arrived is lost on the way to the caller: bytes stay queued
// when a handler's exception ends the monitor, and a line error stays until
// the error event or LineErrors has reported it.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CPort.h"
#include "ComThread.h"
#include "FakeComDevice.h"
#include "PtyHelpers.h"
#include "Watchdog.h"

namespace corvane {
namespace {

using testing::FakeComDevice;
using testing::FakeDeviceState;
using testing::Pty;
using testing::ServeFor;

// A handler that throws ends the monitor; the port stays open and what had
// arrived is still there to be read. Closing later discards as usual.
TEST(NothingLost, BytesStayQueuedWhenAHandlerThrowsOverAPty) {
    for (TSyncMethod sm : {smThreadSync, smNone}) {
        Pty pty;
        TComPort port;
        port.SetPort(pty.Path());
        port.SetEvents({evRxChar});
        port.SetSyncMethod(sm);
        port.Dispatcher()->SetExceptionHandler([](std::exception_ptr) {});
        port.OnRxChar = [](TCustomComPort&, std::int32_t) { throw Exception("handler failed"); };
        port.OpenPort();
        TComThread* monitor = port.Monitor();
        pty.Write("hello");
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return monitor->Finished(); }));
        ASSERT_TRUE(monitor->Failure());
        std::string text;
        EXPECT_EQ(port.ReadText(text, 5), 5);
        EXPECT_EQ(text, "hello");
        port.ClosePort();
    }
}

TEST(NothingLost, ThrowingHandlerLeavesTheQueuesAndTheCloseDiscardsThem) {
    auto state = std::make_shared<FakeDeviceState>();
    TComPort port(std::make_unique<FakeComDevice>(state));
    port.Dispatcher()->SetExceptionHandler([](std::exception_ptr) {});
    port.OnRxChar = [](TCustomComPort&, std::int32_t) { throw Exception("handler failed"); };
    state->SetInput("12345");
    port.OpenPort();
    TComThread* monitor = port.Monitor();
    state->TakeCalls();
    state->PushEvent(device::kEvRxChar);
    ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return monitor->Finished(); }));
    auto calls = state->TakeCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "PurgeComm(0xC)"), 0);
    EXPECT_EQ(state->InputNow(), "12345");
    port.ClosePort();
    calls = state->TakeCalls();
    const auto purge = std::find(calls.begin(), calls.end(), "PurgeComm(0xC)");
    const auto close = std::find(calls.begin(), calls.end(), "Close");
    ASSERT_NE(purge, calls.end());
    EXPECT_LT(purge, close);
}

// Byte-by-byte traffic: every read ends with a look at the input queue. An
// error that this look finds is kept until it is reported: to LineErrors,
// or to the error event that follows.
TEST(NothingLost, LineErrorFoundByAQueueLookIsStillReported) {
    struct Case {
        const char* what;
        std::function<void(TCustomComPort&)> look;
    } looks[] = {
        {"a one-byte read",
         [](TCustomComPort& p) {
             char c;
             p.ReadBytes(&c, 1);
         }},
        {"a text read",
         [](TCustomComPort& p) {
             std::string t;
             p.ReadText(t, 1);
         }},
        {"PendingInput", [](TCustomComPort& p) { p.PendingInput(); }},
    };
    for (const Case& c : looks) {
        SCOPED_TRACE(c.what);
        auto state = std::make_shared<FakeDeviceState>();
        TComPort port(std::make_unique<FakeComDevice>(state));
        port.SetEvents({});
        port.OpenPort();
        state->SetInput("ab");
        state->LineErrors = device::kCeFrame | device::kCeOverrun;
        c.look(port);
        EXPECT_EQ(port.LineErrors(), (TComErrors{leFraming, leOverrun}));
        // Reported once, then gone.
        EXPECT_TRUE(port.LineErrors().Empty());
        // Parity errors still count only while parity is checked.
        state->LineErrors = device::kCeRxParity;
        c.look(port);
        EXPECT_TRUE(port.LineErrors().Empty());
    }
}

TEST(NothingLost, ErrorEventReportsWhatAReadHadFound) {
    auto state = std::make_shared<FakeDeviceState>();
    TComPort port(std::make_unique<FakeComDevice>(state));
    port.SetEvents({evError});
    std::vector<TComErrors> reported;
    port.OnError = [&](TCustomComPort&, TComErrors e) { reported.push_back(e); };
    port.OpenPort();
    state->SetInput("a");
    state->LineErrors = device::kCeOverrun;
    char c;
    ASSERT_EQ(port.ReadBytes(&c, 1), 1);
    state->PushEvent(device::kEvErr);
    ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return !reported.empty(); }));
    EXPECT_EQ(reported, std::vector<TComErrors>{TComErrors{leOverrun}});
    port.ClosePort();
}

// An error of an earlier opening is not reported for the next one.
TEST(NothingLost, ErrorsDoNotOutliveTheOpening) {
    auto state = std::make_shared<FakeDeviceState>();
    TComPort port(std::make_unique<FakeComDevice>(state));
    port.SetEvents({});
    port.OpenPort();
    state->LineErrors = device::kCeBreak;
    port.PendingInput();
    port.ClosePort();
    port.OpenPort();
    EXPECT_TRUE(port.LineErrors().Empty());
}

}  // namespace
}  // namespace corvane
