// Why the search did not open a port, as each system says it: a port that
// another program holds is busy (Linux: EBUSY; Windows refuses it with
// access denied or a sharing violation), one that this user may not open has
// no permission (Linux), and one that is not there is simply not opened.
// Wine lets a second program open a held COM port, so the refusals come from
// the fake device.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <memory>

#include "Discovery.h"
#include "FakeComDevice.h"
#include "ProgrammerLink.h"

namespace corvane {
namespace {

struct RefusalCase {
    const char* what;
    int error;
    TPortVerdict verdict;
};

#ifdef _WIN32
const RefusalCase kRefusals[] = {
    {"held by another program", ERROR_ACCESS_DENIED, TPortVerdict::Busy},
    {"held, not shared", ERROR_SHARING_VIOLATION, TPortVerdict::Busy},
    {"not there", ERROR_FILE_NOT_FOUND, TPortVerdict::Scan},
};
#else
const RefusalCase kRefusals[] = {
    {"held exclusively by another program", EBUSY, TPortVerdict::Busy},
    {"not this user's", EACCES, TPortVerdict::NoPermission},
    {"not permitted", EPERM, TPortVerdict::NoPermission},
    {"not there", ENOENT, TPortVerdict::Scan},
};
#endif

TEST(SearchRefusal, APortThatCannotBeOpenedKeepsWhyInItsCheck) {
    for (const RefusalCase& c : kRefusals) {
        SCOPED_TRACE(c.what);
        auto device = std::make_shared<testing::FakeDeviceState>();
        device->Fail("Open", c.error);
        TSearchOptions options;
        options.Screen.Enabled = false;  // tried at the open, as a port the user named
        options.MakePort = [&] {
            auto port =
                std::make_unique<TComPort>(std::make_unique<testing::FakeComDevice>(device));
            TProgrammerLink::ApplyProgrammerSettings(*port);
            return port;
        };
        const TSearchResult result = FindProgrammers({"COM7"}, options);
        ASSERT_EQ(result.Checks.size(), 1u);
        EXPECT_EQ(result.Checks[0].Verdict, c.verdict);
        EXPECT_EQ(result.Checks[0].Error, c.verdict == TPortVerdict::Scan ? 0 : c.error);
        EXPECT_FALSE(result.Opened);
        EXPECT_TRUE(result.Programmers.empty());
    }
}

}  // namespace
}  // namespace corvane
