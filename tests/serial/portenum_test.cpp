// Listing the serial ports over a device map built in a temporary folder.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
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

}  // namespace
}  // namespace corvane
