// Opening at the process's descriptor limit: every descriptor the open
// needs is checked, so the open either works completely (and closes again)
// or fails with errOpenPort and leaves nothing open.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <set>
#include <string>

#include "CPort.h"
#include "FakeComDevice.h"
#include "PtyHelpers.h"
#include "Watchdog.h"

namespace corvane {
namespace {

using testing::FakeComDevice;
using testing::FakeDeviceState;
using testing::Pty;
using testing::Watchdog;

// The open descriptors.
std::set<int> Descriptors() {
    std::set<int> fds;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const int fd = std::atoi(e->d_name);
        if (fd != dirfd(d)) fds.insert(fd);
    }
    closedir(d);
    return fds;
}

// Lowers the soft descriptor limit so that only `room` more can be made
// (the lowest free numbers are used first); restores it when it goes.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int room) {
        const std::set<int> open = Descriptors();
        int limit = 0;
        for (int free = 0;; ++limit) {
            if (open.count(limit) != 0) continue;
            if (free++ == room) break;
        }
        getrlimit(RLIMIT_NOFILE, &FOld);
        rlimit lower = FOld;
        lower.rlim_cur = static_cast<rlim_t>(limit);
        setrlimit(RLIMIT_NOFILE, &lower);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &FOld); }

private:
    rlimit FOld{};
};

// The behaviour sanitizer makes descriptors of its own the first time it
// checks a call on a class (a pipe to probe memory): it meets the classes
// here, with room to spare, before the limit is lowered.
template <typename MakePort>
void MeetTheClasses(MakePort make) {
    auto port = make();
    port->SetEvents({evRxChar});
    port->OpenPort();
    port->ClosePort();
    try {
        TComPort missing;
        missing.SetPort("/nonexistent/port");
        missing.OpenPort();
    } catch (const EComPort&) {
    }
}

// Tries to open `port` under a limit of `room` descriptors; returns the
// error's system number, or 0 when it opened.
int OpenWithRoom(TComPort& port, int room) {
    DescriptorLimit limit(room);
    try {
        port.OpenPort();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errOpenPort);
        return e.SystemErrorCode();
    }
    return 0;
}

TEST(DescriptorLimit, OpenWorksCompletelyOrFailsCleanlyOverAPty) {
    Pty pty;
    MeetTheClasses([&] {
        auto port = std::make_unique<TComPort>();
        port->SetPort(pty.Path());
        return port;
    });
    const std::set<int> before = Descriptors();
    // The component is made with room to spare, or with none at all.
    for (bool starved : {false, true}) {
        bool opened = false;
        for (int room = 0; room <= 10 && !opened; ++room) {
            SCOPED_TRACE(std::string(starved ? "made without room, " : "") + "open with room for " +
                         std::to_string(room));
            Watchdog watchdog("opening and closing with room for " + std::to_string(room));
            {
                std::unique_ptr<TComPort> port;
                {
                    DescriptorLimit limit(starved ? 0 : 10);
                    port = std::make_unique<TComPort>();
                }
                port->SetPort(pty.Path());
                port->SetEvents({evRxChar});
                const int err = OpenWithRoom(*port, room);
                if (err != 0) {
                    EXPECT_EQ(err, EMFILE);
                    EXPECT_FALSE(port->Connected());
                    EXPECT_FALSE(port->MonitorRunning());
                } else {
                    opened = true;
                    EXPECT_TRUE(port->MonitorRunning());
                    // It works: the monitor hears data and the close returns.
                    std::atomic<int> count{0};
                    port->OnRxChar = [&](TCustomComPort&, std::int32_t n) { count = n; };
                    pty.Write("ok");
                    EXPECT_TRUE(testing::ServeFor(*port->Dispatcher(), [&] { return count == 2; }));
                    port->ClosePort();
                }
            }
            EXPECT_EQ(Descriptors(), before) << "a descriptor was left open";
            // The terminal was given back: another opener gets it.
            TComPort other;
            other.SetPort(pty.Path());
            other.SetEvents({});
            EXPECT_NO_THROW(other.OpenPort());
        }
        EXPECT_TRUE(opened);
    }
}

// The component's own descriptor (the monitor's stop signal) over the
// recording device: the open fails and the device is closed again.
TEST(DescriptorLimit, NoStopSignalFailsTheOpenAndReleasesTheDevice) {
    Watchdog watchdog("opening without room for the stop signal");
    MeetTheClasses([] {
        return std::make_unique<TComPort>(
            std::make_unique<FakeComDevice>(std::make_shared<FakeDeviceState>()));
    });
    auto state = std::make_shared<FakeDeviceState>();
    TComPort port(std::make_unique<FakeComDevice>(state));
    port.SetEvents({evRxChar});
    EXPECT_EQ(OpenWithRoom(port, 0), EMFILE);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.MonitorRunning());
    const auto calls = state->TakeCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "Close");
    // With room, the same port opens.
    EXPECT_EQ(OpenWithRoom(port, 5), 0);
    EXPECT_TRUE(port.MonitorRunning());
    port.ClosePort();
}

}  // namespace
}  // namespace corvane
