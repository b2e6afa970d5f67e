// Listing the serial ports over a device map built in a temporary folder.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CPort.h"
#include "DeviceMap.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

class PortEnumTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "corvane-enum-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        FRoot = pattern;
        FMap = FRoot / "serialcomm";
        fs::create_directory(FMap);
        UseMap(FMap);
    }
    void TearDown() override {
        unsetenv("CORVANE_SERIALCOMM");
        fs::remove_all(FRoot);
    }

    static void UseMap(const fs::path& dir) { setenv("CORVANE_SERIALCOMM", dir.c_str(), 1); }

    void Announce(const std::string& entry, const std::string& port) {
        ASSERT_EQ(device::AnnouncePort(FMap.string(), entry, port), 0);
    }

    fs::path FRoot;
    fs::path FMap;
};

TEST_F(PortEnumTest, EmptyMapEmptiesTheList) {
    std::vector<std::string> ports{"COM9", "left over"};
    ListSerialPorts(ports);
    EXPECT_TRUE(ports.empty());
}

TEST_F(PortEnumTest, MissingMapRaisesRegistryErrorAndKeepsTheList) {
    UseMap(FRoot / "absent");
    std::vector<std::string> ports{"COM3", "COM4"};
    try {
        ListSerialPorts(ports);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errRegistry);
        EXPECT_EQ(e.SystemErrorCode(), ENOENT);
        EXPECT_EQ(e.Message(), "Registry error (win error code: " + std::to_string(ENOENT) + ")");
    }
    EXPECT_EQ(ports, (std::vector<std::string>{"COM3", "COM4"}));
}

TEST_F(PortEnumTest, SortsWithoutLetterCaseAndAsText) {
    Announce("\\Device\\Serial3", "COM4");
    Announce("\\Device\\Serial0", "COM10");
    Announce("\\Device\\Serial1", "com3");
    Announce("\\Device\\Serial2", "COM2");
    Announce("\\Device\\Serial4", "COM1");
    Announce("pts", "/dev/pts/7");
    std::vector<std::string> ports{"stale"};
    ListSerialPorts(ports);
    EXPECT_EQ(ports,
              (std::vector<std::string>{"/dev/pts/7", "COM1", "COM10", "COM2", "com3", "COM4"}));

    // Nothing is cached and nothing is appended: a second call reads the map
    // again, and sees a port that came meanwhile.
    ListSerialPorts(ports);
    EXPECT_EQ(ports.size(), 6u);
    Announce("late", "COM11");
    ListSerialPorts(ports);
    EXPECT_EQ(ports, (std::vector<std::string>{"/dev/pts/7", "COM1", "COM10", "COM11", "COM2",
                                               "com3", "COM4"}));
}

TEST_F(PortEnumTest, OversizedEntryFailsTheWholeCall) {
    Announce("a", "COM1");
    Announce("b", std::string(255, 'x'));  // the longest name that fits
    std::vector<std::string> ports;
    ListSerialPorts(ports);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0], "COM1");

    Announce("c", std::string(256, 'y'));
    Announce("d", "COM2");
    std::vector<std::string> before{"COM7"};
    ports = before;
    try {
        ListSerialPorts(ports);
        FAIL() << "no exception";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errRegistry);
        EXPECT_EQ(e.SystemErrorCode(), ENAMETOOLONG);
    }
    EXPECT_EQ(ports, before);
}

TEST_F(PortEnumTest, HalfMadeAnnouncementsAreNotListed) {
    Announce("COM5", "COM5");
    ASSERT_EQ(symlink("COM6", (FMap / ".COM6.123").c_str()), 0);
    std::vector<std::string> ports;
    ListSerialPorts(ports);
    EXPECT_EQ(ports, (std::vector<std::string>{"COM5"}));
}

// A virtual programmer that withdraws its port while the list is being read
// makes its entry vanish between reading the folder and reading the link;
// that is a port gone, not a broken map.
TEST_F(PortEnumTest, PortWithdrawnDuringListingIsNoError) {
    for (int i = 0; i < 20; ++i) Announce("fixed" + std::to_string(i), "COM" + std::to_string(i));
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) {
            for (int i = 0; i < 50; ++i) {
                device::AnnouncePort(FMap.string(), "coming" + std::to_string(i), "/dev/pts/99");
            }
            for (int i = 0; i < 50; ++i)
                device::WithdrawPort(FMap.string(), "coming" + std::to_string(i));
        }
    });
    int failures = 0;
    std::vector<std::string> ports;
    for (int i = 0; i < 300; ++i) {
        try {
            ListSerialPorts(ports);
        } catch (const EComPort&) {
            ++failures;
        }
        EXPECT_GE(ports.size(), 20u);
    }
    stop = true;
    churn.join();
    EXPECT_EQ(failures, 0);
}

// Without XDG_RUNTIME_DIR the runtime map is a folder under the temporary
// folder ($TMPDIR, here a test folder), where any local user can make it
// first. Only a folder of our own that nobody else may write is used.
class RuntimeFallbackTest : public PortEnumTest {
protected:
    void SetUp() override {
        PortEnumTest::SetUp();
        unsetenv("CORVANE_SERIALCOMM");
        if (const char* xdg = std::getenv("XDG_RUNTIME_DIR")) FXdg = xdg;
        if (const char* tmp = std::getenv("TMPDIR")) FTmp = tmp;
        unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", FRoot.c_str(), 1);
        FFolder = FRoot / ("corvane-" + std::to_string(getuid()));
    }
    void TearDown() override {
        if (FXdg) setenv("XDG_RUNTIME_DIR", FXdg->c_str(), 1);
        if (FTmp) {
            setenv("TMPDIR", FTmp->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
        PortEnumTest::TearDown();
    }
    std::vector<std::string> List() {
        std::vector<std::string> ports;
        ListSerialPorts(ports);
        return ports;
    }
    static bool Has(const std::vector<std::string>& ports, const std::string& name) {
        return std::find(ports.begin(), ports.end(), name) != ports.end();
    }

    std::optional<std::string> FXdg, FTmp;
    fs::path FFolder;
};

TEST_F(RuntimeFallbackTest, AnnouncingMakesAPrivateFolderThatIsListed) {
    const std::string dir = device::AnnounceDirectory();
    EXPECT_EQ(dir, (FFolder / "serialcomm").string());
    ASSERT_EQ(device::AnnouncePort(dir, "sim", "/dev/pts/77"), 0);
    struct stat st {};
    ASSERT_EQ(lstat(FFolder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(Has(List(), "/dev/pts/77"));
}

// A folder made first by someone else, or one that others may write to, is
// not used: the listing neither fails nor follows its links, nothing is
// announced into it, and the reason is told once.
TEST_F(RuntimeFallbackTest, AFolderThatIsNotPrivatelyOursIsIgnored) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> plant;
    } cases[] = {
        {"another user's folder",
         [](const fs::path& f) {
             ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
             ASSERT_EQ(chown((f / "serialcomm").c_str(), 65534, 65534), 0);
         }},
        {"a folder anyone may write to",
         [](const fs::path& f) { ASSERT_EQ(chmod(f.c_str(), 0777), 0); }},
        {"a link to a folder",
         [this](const fs::path& f) {
             fs::rename(f, FRoot / "elsewhere");
             fs::create_directory_symlink(FRoot / "elsewhere", f);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(FFolder);
        fs::remove_all(FRoot / "elsewhere");
        fs::create_directories(FFolder / "serialcomm");
        ASSERT_EQ(chmod(FFolder.c_str(), 0700), 0);
        // A plain file failed the whole listing; a link pointed the scan at
        // any terminal.
        std::ofstream(FFolder / "serialcomm" / "plain") << "x";
        ASSERT_EQ(symlink("/dev/tty1", (FFolder / "serialcomm" / "evil").c_str()), 0);
        c.plant(FFolder);
        ::testing::internal::CaptureStderr();
        std::vector<std::string> first, second;
        EXPECT_NO_THROW(first = List());
        EXPECT_NO_THROW(second = List());
        const std::string told = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(Has(first, "/dev/tty1"));
        EXPECT_FALSE(Has(second, "/dev/tty1"));
        // Told once, naming the folder.
        const auto at = told.find(FFolder.string());
        EXPECT_NE(at, std::string::npos) << told;
        EXPECT_EQ(told.find(FFolder.string(), at + 1), std::string::npos) << told;
        EXPECT_NE(device::AnnouncePort(device::AnnounceDirectory(), "sim", "/dev/pts/78"), 0);
        EXPECT_FALSE(fs::exists(FFolder / "serialcomm" / "sim"));
        EXPECT_FALSE(fs::exists(FRoot / "elsewhere" / "serialcomm" / "sim"));
    }
}

}  // namespace
}  // namespace corvane
