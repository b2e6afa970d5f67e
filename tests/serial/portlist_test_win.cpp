// The list of serial ports from the registry, in the test's own Wine prefix
// (whose machine ports the test runner has taken away).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CPort.h"
#include "SerialCommKey.h"

namespace corvane {
namespace {

using testing::SerialCommKey;
using Ports = std::vector<std::string>;

int RegistryErrorOf(Ports& ports, std::string* message = nullptr) {
    try {
        ListSerialPorts(ports);
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errRegistry);
        if (message != nullptr) *message = e.what();
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

TEST(PortList, AbsentKeyIsARegistryErrorWithTheRegistrysCode) {
    SerialCommKey key;
    key.RemoveKey();
    Ports ports{"earlier"};
    std::string message;
    EXPECT_EQ(RegistryErrorOf(ports, &message), 2);  // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(message, "Registry error (win error code: 2)");
    EXPECT_EQ(ports, Ports{"earlier"});
}

}  // namespace
}  // namespace corvane
