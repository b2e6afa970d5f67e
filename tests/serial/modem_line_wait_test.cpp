// The modem-line wait: a pseudo-terminal has no modem lines, so a pipe
// stands in for the driver's blocking wait. A change is told at once, a
// quiet line makes no calls, the signal ends a wait that blocks, and a
// driver without the wait is told apart so the monitor can poll.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "Watchdog.h"
#include "device/ModemLineWait.h"

namespace corvane::device {
namespace {

struct Counter {
    std::mutex Mutex;
    std::condition_variable Changed;
    int Value = 0;
    void Add() {
        std::lock_guard lock(Mutex);
        ++Value;
        Changed.notify_all();
    }
    bool AwaitAtLeast(int n) {
        std::unique_lock lock(Mutex);
        return Changed.wait_for(lock, std::chrono::seconds(10), [&] { return Value >= n; });
    }
    int Now() {
        std::lock_guard lock(Mutex);
        return Value;
    }
};

TEST(ModemLineWait, ChangesAreToldAndTheWaitEndsWhenStopped) {
    testing::Watchdog watchdog("stopping the modem-line wait");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Counter waits, changes;
    {
        TModemLineWait wait(
            [&]() {
                waits.Add();
                char c;
                return read(fds[0], &c, 1) == 1 ? 0 : errno;
            },
            [&] { changes.Add(); });
        ASSERT_TRUE(waits.AwaitAtLeast(1));
        EXPECT_TRUE(wait.Supported());
        for (int i = 1; i <= 3; ++i) {
            ASSERT_EQ(write(fds[1], "x", 1), 1);
            ASSERT_TRUE(changes.AwaitAtLeast(i));
            ASSERT_TRUE(waits.AwaitAtLeast(i + 1));
        }
        // Between changes the thread sits in the wait: one call per change.
        EXPECT_EQ(waits.Now(), 4);
        EXPECT_TRUE(wait.Supported());
    }  // blocked in read: the signal ends it
    EXPECT_EQ(changes.Now(), 3);
    close(fds[0]);
    close(fds[1]);
}

TEST(ModemLineWait, ADriverWithoutTheWaitIsToldOnce) {
    Counter changes;
    TModemLineWait wait([] { return EINVAL; }, [&] { changes.Add(); });
    ASSERT_TRUE(changes.AwaitAtLeast(1));
    EXPECT_FALSE(wait.Supported());
    EXPECT_EQ(changes.Now(), 1);
}

}  // namespace
}  // namespace corvane::device
