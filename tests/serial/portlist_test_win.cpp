// The list of serial ports from the registry, in the test's own Wine prefix
// (whose machine ports the test runner has taken away).

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "CPort.h"
#include "SerialCommKey.h"

namespace corvane {
namespace {

using testing::SerialCommKey;
using Ports = std::vector<std::string>;

int RegistryErrorOf(Ports& ports) {
    try {
        ListSerialPorts(ports);
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errRegistry);
        return e.SystemErrorCode();
    }
    return 0;
}

TEST(PortList, SortedAsTextWithoutRegardToCase) {
    SerialCommKey key;
    key.Add("\\Device\\Serial2", "COM2");
    key.Add("\\Device\\Serial10", "COM10");
    key.Add("\\Device\\VSerial3", "com3");
    key.Add("\\Device\\Serial1", "COM1");
    key.Add("\\Device\\Serial4", "COM4");
    // Only a text names a port.
    key.Add("\\Device\\Number", "COM8", REG_DWORD);
    key.Add("\\Device\\Binary", "COM9", REG_BINARY);
    key.Add("\\Device\\Expand", "COM7", REG_EXPAND_SZ);
    Ports ports{"earlier"};
    ListSerialPorts(ports);
    const Ports sorted{"COM1", "COM10", "COM2", "com3", "COM4"};
    EXPECT_EQ(ports, sorted);
    ListSerialPorts(ports);  // read afresh, not added to
    EXPECT_EQ(ports, sorted);
}

TEST(PortList, KeyWithoutValuesGivesNoPorts) {
    SerialCommKey key;
    Ports ports{"earlier"};
    ListSerialPorts(ports);
    EXPECT_TRUE(ports.empty());
}

TEST(PortList, DataTooLongFailsTheWholeListing) {
    SerialCommKey key;
    key.Add("\\Device\\Serial1", "COM1");
    key.Add("\\Device\\Long", std::string(300, 'L'));
    Ports ports{"earlier"};
    EXPECT_EQ(RegistryErrorOf(ports), 234);  // ERROR_MORE_DATA
    EXPECT_EQ(ports, Ports{"earlier"});
}

// A machine without serial ports has no key: no port, and no error, so that
// a port that comes later is found.
TEST(PortList, AbsentKeyGivesNoPorts) {
    SerialCommKey key;
    key.RemoveKey();
    Ports ports{"earlier"};
    EXPECT_EQ(RegistryErrorOf(ports), 0);
    EXPECT_TRUE(ports.empty());
}

}  // namespace
}  // namespace corvane
