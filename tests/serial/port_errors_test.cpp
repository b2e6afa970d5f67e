// The component's exception: codes and their exact messages.

#include <gtest/gtest.h>

#include "CPort.h"

namespace corvane {
namespace {

TEST(PortErrors, EveryCodeHasItsMessageWithAndWithoutSystemNumber) {
    const char* const expected[] = {
        "Unable to open com port",
        "WriteFile function failed",
        "ReadFile function failed",
        "Invalid Async parameter",
        "PurgeComm function failed",
        "Unable to get async status",
        "SetCommState function failed",
        "SetCommTimeouts failed",
        "SetupComm function failed",
        "ClearCommError function failed",
        "GetCommModemStatus function failed",
        "EscapeCommFunction function failed",
        "TransmitCommChar function failed",
        "Cannot set property while connected",
        "EnumPorts function failed",
        "Failed to store settings",
        "Failed to load settings",
        "Link (un)registration failed",
        "Cannot change led state if ComPort is selected",
        "Cannot wait for event if event thread is created",
        "WaitForEvent method failed",
        "A component is linked to OnRxBuf event",
        "Registry error",
    };
    for (int code = errOpenPort; code <= errRegistry; ++code) {
        SCOPED_TRACE(code);
        const std::string text = expected[code - 1];
        EComPort plain(code);
        EXPECT_EQ(plain.ErrorCode(), code);
        EXPECT_EQ(plain.SystemErrorCode(), -1);
        EXPECT_EQ(plain.Message(), text);
        EComPort withNumber(code, 2);
        EXPECT_EQ(withNumber.ErrorCode(), code);
        EXPECT_EQ(withNumber.SystemErrorCode(), 2);
        EXPECT_EQ(withNumber.Message(), text + " (win error code: 2)");
    }
}

TEST(PortErrors, SystemNumberIsWrittenSigned) {
    EComPort e(errRegistry, -5);
    EXPECT_STREQ(e.what(), "Registry error (win error code: -5)");
    const Exception& base = e;  // caught as the general exception, the message stays
    EXPECT_EQ(base.Message(), "Registry error (win error code: -5)");
}

}  // namespace
}  // namespace corvane
