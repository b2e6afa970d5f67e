// The driver's low-latency flag, with a recording fake of the terminal's
// ioctls: a pseudo-terminal has no such flag, so only a fake shows it.

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <linux/serial.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "device/LineState.h"

namespace corvane::testing {
namespace {

using device::TLineState;

// A terminal whose driver has serial flags (like a USB serial adapter's)
// and whose calls are recorded; any request can be refused.
struct FakeTerminal {
    bool HasSerialInfo = true;
    serial_struct Info{};
    termios2 Settings{};
    std::map<unsigned long, int> Refuse;  // request -> errno
    std::vector<std::string> Calls;

    device::TTerminalIoctl Ioctl() {
        return [this](unsigned long request, void* arg) { return Call(request, arg); };
    }

    int Call(unsigned long request, void* arg) {
        std::string name;
        switch (request) {
            case TCGETS2:
                name = "TCGETS2";
                break;
            case TCSETS2:
                name = "TCSETS2(" + std::to_string(static_cast<termios2*>(arg)->c_ospeed) + ")";
                break;
            case TIOCGSERIAL:
                name = "TIOCGSERIAL";
                break;
            case TIOCSSERIAL: {
                const auto* info = static_cast<serial_struct*>(arg);
                char text[64];
                std::snprintf(text, sizeof text, "TIOCSSERIAL(0x%x,%u)", info->flags,
                              info->close_delay);
                name = text;
                break;
            }
            default:
                name = "other";
        }
        Calls.push_back(name);
        if (auto it = Refuse.find(request); it != Refuse.end()) return it->second;
        switch (request) {
            case TCGETS2:
                *static_cast<termios2*>(arg) = Settings;
                return 0;
            case TCSETS2:
                Settings = *static_cast<termios2*>(arg);
                return 0;
            case TIOCGSERIAL:
                if (!HasSerialInfo) return ENOTTY;
                *static_cast<serial_struct*>(arg) = Info;
                return 0;
            case TIOCSSERIAL:
                if (!HasSerialInfo) return ENOTTY;
                Info = *static_cast<serial_struct*>(arg);
                return 0;
        }
        return EINVAL;
    }
};

constexpr int kOtherFlags = ASYNC_SKIP_TEST | ASYNC_SPD_HI;

TEST(LowLatency, OpeningAsksForItAndClosingGivesTheOldFlagBack) {
    FakeTerminal term;
    term.Info.flags = kOtherFlags;
    term.Info.close_delay = 50;
    term.Settings.c_ospeed = 115200;
    TLineState state;
    state.Save(term.Ioctl());
    EXPECT_TRUE(state.RequestLowLatency(term.Ioctl()));
    const std::string withFlag = "TIOCSSERIAL(0x" + [] {
        char t[16];
        std::snprintf(t, sizeof t, "%x", kOtherFlags | ASYNC_LOW_LATENCY);
        return std::string(t);
    }() + ",50)";
    EXPECT_EQ(term.Calls,
              (std::vector<std::string>{"TCGETS2", "TIOCGSERIAL", "TIOCGSERIAL", withFlag}));
    EXPECT_EQ(term.Info.flags, kOtherFlags | ASYNC_LOW_LATENCY);

    // The port is used at another speed meanwhile.
    term.Settings.c_ospeed = 9600;
    term.Calls.clear();
    state.Restore(term.Ioctl());
    char old[64];
    std::snprintf(old, sizeof old, "TIOCSSERIAL(0x%x,50)", kOtherFlags);
    EXPECT_EQ(term.Calls, (std::vector<std::string>{"TCSETS2(115200)", "TIOCGSERIAL", old}));
    EXPECT_EQ(term.Info.flags, kOtherFlags);
    EXPECT_EQ(term.Settings.c_ospeed, 115200u);
}

TEST(LowLatency, WhatTheDriverRefusesOrAlreadyHasCostsNothing) {
    struct Case {
        const char* name;
        bool hasSerialInfo;
        int flags;
        std::map<unsigned long, int> refuse;
        bool lowLatency;  // what the request gives
        std::vector<std::string> atClose;
    };
    char on[64];
    std::snprintf(on, sizeof on, "TIOCSSERIAL(0x%x,0)", ASYNC_LOW_LATENCY);
    const Case cases[] = {
        // A pseudo-terminal's driver has no serial flags.
        {"no serial flags", false, 0, {}, false, {"TCSETS2(0)"}},
        {"already on", true, ASYNC_LOW_LATENCY, {}, true, {"TCSETS2(0)"}},
        {"setting refused", true, 0, {{TIOCSSERIAL, EPERM}}, false, {"TCSETS2(0)"}},
        // A device that no longer answers at close is left as it is.
        {"gone at close", true, 0, {}, true, {"TCSETS2(0)", "TIOCGSERIAL"}},
    };
    for (const Case& c : cases) {
        FakeTerminal term;
        term.HasSerialInfo = c.hasSerialInfo;
        term.Info.flags = c.flags;
        term.Refuse = c.refuse;
        TLineState state;
        state.Save(term.Ioctl());
        EXPECT_EQ(state.RequestLowLatency(term.Ioctl()), c.lowLatency) << c.name;
        EXPECT_EQ(term.Info.flags, c.flags | (c.lowLatency ? ASYNC_LOW_LATENCY : 0)) << c.name;
        if (std::string(c.name) == "gone at close") {
            term.Refuse = {{TCSETS2, EIO}, {TIOCGSERIAL, EIO}};
        }
        term.Calls.clear();
        state.Restore(term.Ioctl());
        EXPECT_EQ(term.Calls, c.atClose) << c.name;
        // Nothing is given back twice.
        term.Calls.clear();
        state.Restore(term.Ioctl());
        EXPECT_TRUE(term.Calls.empty()) << c.name;
    }
}

TEST(LowLatency, SettingsThatCouldNotBeReadAreNotWrittenBack) {
    FakeTerminal term;
    term.Refuse = {{TCGETS2, EIO}};
    TLineState state;
    state.Save(term.Ioctl());
    EXPECT_FALSE(state.HasSettings());
    term.Calls.clear();
    state.Restore(term.Ioctl());
    for (const auto& call : term.Calls) EXPECT_NE(call.rfind("TCSETS2", 0), 0u) << call;
}

}  // namespace
}  // namespace corvane::testing
