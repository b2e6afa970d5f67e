// Closing a port from inside one of its own event handlers, with each way
// of delivering events: the close returns, the port is closed, and the
// monitor ends without handing over anything more.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "CPort.h"
#include "FakeComDevice.h"
#include "PtyHelpers.h"
#include "Watchdog.h"

namespace corvane {
namespace {

using testing::FakeComDevice;
using testing::FakeDeviceState;
using testing::Pty;
using testing::ServeFor;
using testing::Watchdog;

constexpr TSyncMethod kSyncMethods[] = {smThreadSync, smWindowSync, smNone};
const char* const kSyncNames[] = {"smThreadSync", "smWindowSync", "smNone"};

// Over a real terminal: the data handler closes the port. The port then
// opens again on the same terminal and works, so the monitor left behind
// neither holds the terminal nor touches the new opening.
TEST(CloseFromHandler, DataHandlerClosesItsPortWithEachSyncMethod) {
    for (TSyncMethod sm : kSyncMethods) {
        SCOPED_TRACE(kSyncNames[sm]);
        Watchdog watchdog(std::string("closing from a handler with ") + kSyncNames[sm]);
        Pty pty;
        TComPort port;
        port.SetPort(pty.Path());
        port.SetEvents({evRxChar});
        port.SetSyncMethod(sm);
        std::atomic<int> phase{0};
        std::atomic<bool> closedInside{false};
        std::atomic<int> counted{0};
        port.OnRxChar = [&](TCustomComPort& p, std::int32_t n) {
            if (phase.load() == 0) {
                p.ClosePort();
                closedInside = !p.Connected();
                phase = 1;
            } else {
                counted = n;
            }
            p.Dispatcher()->Wake();
        };
        port.OpenPort();
        pty.Write("x");
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return phase.load() == 1; }));
        EXPECT_TRUE(closedInside.load());
        EXPECT_FALSE(port.Connected());
        EXPECT_FALSE(port.MonitorRunning());

        port.OpenPort();
        pty.Write("yz");
        ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return counted.load() == 2; }));
        std::string text;
        EXPECT_EQ(port.ReadText(text, 2), 2);
        EXPECT_EQ(text, "yz");
        port.ClosePort();
    }
}

// A handler that moves its port to another terminal (a close and an open
// from inside the handler): events then come from the new terminal.
TEST(CloseFromHandler, HandlerReopensItsPortUnderAnotherName) {
    Watchdog watchdog("reopening from a handler");
    Pty first, second;
    TComPort port;
    port.SetPort(first.Path());
    port.SetEvents({evRxChar});
    std::vector<std::string> seen;
    port.OnRxChar = [&](TCustomComPort& p, std::int32_t n) {
        std::string text;
        p.ReadText(text, n);
        seen.push_back(text);
        if (p.Port() == first.Path()) p.SetPort(second.Path());
    };
    port.OpenPort();
    first.Write("a");
    ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return seen.size() == 1; }));
    EXPECT_TRUE(port.Connected());
    second.Write("b");
    ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
    port.ClosePort();
}

// Over the recording device: a wake-up reports an error and received data;
// the error handler closes the port. The data handler of that wake-up does
// not run, nothing reaches the exception display, and the closed device is
// not asked anything more.
TEST(CloseFromHandler, RestOfTheWakeUpIsDroppedWithEachSyncMethod) {
    for (TSyncMethod sm : kSyncMethods) {
        SCOPED_TRACE(kSyncNames[sm]);
        Watchdog watchdog(std::string("closing from the error handler with ") + kSyncNames[sm]);
        auto state = std::make_shared<FakeDeviceState>();
        std::vector<std::string> log;
        std::vector<std::string> shown;
        std::atomic<bool> closed{false};
        {
            TComPort port(std::make_unique<FakeComDevice>(state));
            port.SetSyncMethod(sm);
            port.Dispatcher()->SetExceptionHandler([&](std::exception_ptr e) {
                try {
                    std::rethrow_exception(e);
                } catch (const std::exception& x) {
                    shown.push_back(x.what());
                }
            });
            port.OnError = [&](TCustomComPort& p, TComErrors) {
                log.push_back("Error");
                p.ClosePort();
                closed = !p.Connected();
                p.Dispatcher()->Wake();
            };
            port.OnRxChar = [&](TCustomComPort&, std::int32_t) { log.push_back("RxChar"); };
            state->SetInput("ab");
            port.OpenPort();
            state->LineErrors = device::kCeFrame;
            state->TakeCalls();
            state->PushEvent(device::kEvErr | device::kEvRxChar);
            ASSERT_TRUE(ServeFor(*port.Dispatcher(), [&] { return closed.load(); }));
            // Whatever the monitor still had on its way is served now.
            port.Dispatcher()->ProcessPending();
            EXPECT_FALSE(port.Connected());
        }
        EXPECT_EQ(log, std::vector<std::string>{"Error"});
        EXPECT_TRUE(shown.empty()) << shown.front();
        const auto calls = state->TakeCalls();
        const auto close = std::find(calls.begin(), calls.end(), "Close");
        ASSERT_NE(close, calls.end());
        EXPECT_EQ(close + 1, calls.end()) << "a call after the device was closed";
        // The close still cleared the mask and discarded the queues.
        EXPECT_NE(std::find(calls.begin(), close, "SetCommMask(0x0)"), close);
        EXPECT_NE(std::find(calls.begin(), close, "PurgeComm(0xC)"), close);
    }
}

// A handler that runs while the port is already being closed (the close
// serves a pending hand-over) and closes the port itself: nothing to do.
TEST(CloseFromHandler, HandlerRunDuringACloseClosesNothingTwice) {
    for (TSyncMethod sm : {smThreadSync, smWindowSync}) {
        SCOPED_TRACE(kSyncNames[sm]);
        Watchdog watchdog("closing from a handler run by a close");
        auto state = std::make_shared<FakeDeviceState>();
        int handled = 0;
        std::mutex m;
        std::condition_variable cv;
        bool pending = false;
        TComPort port(std::make_unique<FakeComDevice>(state));
        port.SetSyncMethod(sm);
        port.OnRing = [&](TCustomComPort& p) {
            ++handled;
            p.ClosePort();
        };
        port.Dispatcher()->SetWakeOwner([&] {
            std::lock_guard lock(m);
            pending = true;
            cv.notify_all();
        });
        port.OpenPort();
        state->PushEvent(device::kEvRing);
        {
            std::unique_lock lock(m);
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return pending; }));
        }
        state->TakeCalls();
        port.ClosePort();
        EXPECT_EQ(handled, 1);
        EXPECT_FALSE(port.Connected());
        const auto calls = state->TakeCalls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "Close"), 1);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "PurgeComm(0x3)"), 1);
    }
}

}  // namespace
}  // namespace corvane
