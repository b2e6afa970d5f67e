// A COM port is given back with the settings it was found with, over a real
// port (a pseudo-terminal under Wine): what another program set stays set
// after the programmer's search has opened and closed the port.

#include <gtest/gtest.h>
#include <windows.h>

#include "CPort.h"
#include "PtyHelpers.h"

namespace corvane {
namespace {

// Opens the port as another program would and hands its settings to `use`.
template <typename TUse>
void WithSettings(const std::string& port, TUse use) {
    const std::string path = "\\\\.\\" + port;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(handle, &dcb));
    use(handle, dcb);
    CloseHandle(handle);
}

TEST(PortRestoreWin, LineSettingsComeBackAtClose) {
    testing::Pty pty;
    WithSettings(pty.Path(), [](HANDLE handle, DCB& dcb) {
        dcb.BaudRate = 115200;
        dcb.StopBits = TWOSTOPBITS;  // a pseudo-terminal keeps no parity
        EXPECT_TRUE(SetCommState(handle, &dcb));
    });
    TComPort port;
    port.SetPort(pty.Path());
    port.SetEvents({});
    port.OpenPort();
    port.ClosePort();
    WithSettings(pty.Path(), [](HANDLE, DCB& dcb) {
        EXPECT_EQ(dcb.BaudRate, 115200u);
        EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    });
}

}  // namespace
}  // namespace corvane
