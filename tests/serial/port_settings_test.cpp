// Settings of the port component over the recording device.

#include <gtest/gtest.h>

#include "CPort.h"
#include "FakeComDevice.h"

namespace corvane {
namespace {

using testing::FakeComDevice;
using testing::FakeDeviceState;

struct PortWithFake {
    std::shared_ptr<FakeDeviceState> State = std::make_shared<FakeDeviceState>();
    TComPort Port{std::make_unique<FakeComDevice>(State)};
    PortWithFake() { Port.SetEvents({}); }  // no monitor: these tests look at the settings only
};

// The main window's port: the programmer's line settings.
void ApplyMainWindowSettings(TCustomComPort& port) {
    port.SetBaudRate(br9600);
    port.SetPort("COM1");
    port.Parity().SetBits(prNone);
    port.SetStopBits(sbOneStopBit);
    port.SetDataBits(dbEight);
    port.Buffer().SetInputSize(4096);
    port.Buffer().SetOutputSize(4096);
    port.FlowControl().SetFlowControl(fcNone);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.Timeouts().SetReadTotalMultiplier(100);
    port.Timeouts().SetReadTotalConstant(1000);
}

TEST(PortSettings, ConstructionDefaults) {
    PortWithFake f;
    TComPort port(std::make_unique<FakeComDevice>(f.State));
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Events(), kAllComEvents);
    EXPECT_EQ(port.Events().ToBits(), 0x03FF);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    EXPECT_EQ(port.StoredSettings(), TStoredSettings{ssBasic});
    EXPECT_EQ(port.Name(), "ComPort");
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.FlowControl().XonChar(), 17);
    EXPECT_EQ(port.FlowControl().XoffChar(), 19);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(port.Parity().ComPort(), &port);
    EXPECT_TRUE(f.State->TakeCalls().empty());
}

TEST(PortSettings, LineRecordForTheMainWindowsSettings) {
    PortWithFake f;
    ApplyMainWindowSettings(f.Port);
    f.Port.OpenPort();
    device::TDcb expected;
    expected.DCBlength = 28;
    expected.BaudRate = 9600;
    expected.Flags = 0x0001;
    expected.XonLim = 1024;
    expected.XoffLim = 1024;
    expected.ByteSize = 8;
    expected.XonChar = 0x11;
    expected.XoffChar = 0x13;
    EXPECT_EQ(f.State->Dcb, expected);
    EXPECT_EQ(f.State->Timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(f.State->Timeouts.ReadTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(f.State->Timeouts.ReadTotalTimeoutConstant, 1000u);
    // Queues first, then the line, then the time-outs.
    const auto calls = f.State->TakeCalls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0], "Open(" + testing::kDevicePrefix + "COM1)");
    EXPECT_EQ(calls[1], "SetupComm(4096,4096)");
    EXPECT_EQ(calls[2], "SetCommState");
    EXPECT_EQ(calls[3], "SetCommTimeouts");
}

TEST(PortSettings, LineRecordForTheConstructionDefaults) {
    PortWithFake f;
    f.Port.OpenPort();
    EXPECT_EQ(f.State->Dcb.XonLim, 256);
    EXPECT_EQ(f.State->Dcb.XoffLim, 256);
    EXPECT_EQ(f.State->Dcb.Flags, 0x0001u);
    EXPECT_EQ(f.State->Dcb.BaudRate, 9600u);
}

TEST(PortSettings, LineRecordFlagsRatesAndCharacters) {
    PortWithFake f;
    auto& p = f.Port;
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(12345);
    p.SetDataBits(dbSeven);
    p.SetStopBits(sbTwoStopBits);
    p.SetDiscardNull(true);
    p.SetEventChar('\n');
    p.Parity().SetBits(prMark);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    p.FlowControl().SetFlowControl(fcHardware);
    p.FlowControl().SetControlDTR(dtrEnable);
    p.FlowControl().SetOutDSRFlow(true);
    p.FlowControl().SetDSRSensitivity(true);
    p.FlowControl().SetTxContinueOnXoff(true);
    p.Buffer().SetInputSize(0x50000);  // a quarter does not fit 16 bits: the low bits stay
    p.OpenPort();
    const device::TDcb& d = f.State->Dcb;
    EXPECT_EQ(d.BaudRate, 12345u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.StopBits, 2);
    EXPECT_EQ(d.Parity, 3);
    EXPECT_EQ(d.EvtChar, '\n');
    EXPECT_EQ(d.ErrorChar, '?');
    EXPECT_EQ(d.XonLim, 0x4000);
    EXPECT_EQ(d.Flags, 0x0001u | 0x0800 | 0x0002 | 0x0400 | 0x2000 | 0x0004 | 0x0010 | 0x0008 |
                           0x0040 | 0x0080);

    // Replace without Check does nothing; the rates follow their names.
    p.Parity().SetCheck(false);
    EXPECT_EQ(f.State->Dcb.Flags & 0x0402u, 0u);
    EXPECT_EQ(f.State->Dcb.ErrorChar, 0);
    p.SetBaudRate(br56000);
    EXPECT_EQ(f.State->Dcb.BaudRate, 56000u);
    p.SetBaudRate(br256000);
    EXPECT_EQ(f.State->Dcb.BaudRate, 256000u);
    p.FlowControl().SetFlowControl(fcSoftware);
    EXPECT_EQ(f.State->Dcb.Flags & 0x3304u, 0x0300u);
    p.FlowControl().SetControlRTS(rtsToggle);
    EXPECT_EQ(f.State->Dcb.Flags & 0x3000u, 0x3000u);
}

TEST(PortSettings, NoSystemCallWhileClosedOrForUnchangedWrites) {
    PortWithFake f;
    auto& p = f.Port;
    ApplyMainWindowSettings(p);
    p.SetParity(TComParity(p.Parity()));
    p.SetTimeouts(TComTimeouts(p.Timeouts()));
    p.SetSyncMethod(smNone);
    EXPECT_TRUE(f.State->TakeCalls().empty());

    p.OpenPort();
    f.State->TakeCalls();
    p.SetBaudRate(br9600);
    p.SetPort("COM1");
    p.SetDataBits(dbEight);
    p.Parity().SetBits(prNone);
    p.FlowControl().SetXonChar(17);
    p.Timeouts().SetReadTotalConstant(1000);
    p.Buffer().SetInputSize(4096);
    p.SetEvents({evRxChar, evError});  // stored only
    p.SetSyncMethod(smNone);
    EXPECT_TRUE(f.State->TakeCalls().empty());

    // Changed values reach the open device at once, one call each.
    p.SetBaudRate(br19200);
    p.SetCustomBaudRate(4800);  // not in use, re-applied all the same
    p.Timeouts().SetReadInterval(10);
    p.Buffer().SetOutputSize(2048);
    EXPECT_EQ(f.State->TakeCalls(),
              (std::vector<std::string>{"SetCommState", "SetCommState", "SetCommTimeouts",
                                        "SetupComm(4096,2048)"}));
    // Whole objects are copied and applied once, changed or not.
    p.SetParity(p.Parity());
    p.SetFlowControl(TComFlowControl());
    p.SetTimeouts(p.Timeouts());
    p.SetBuffer(p.Buffer());
    EXPECT_EQ(f.State->TakeCalls(),
              (std::vector<std::string>{"SetCommState", "SetCommState", "SetCommTimeouts",
                                        "SetupComm(4096,2048)"}));
}

TEST(PortSettings, QueueSizesAreMadeEven) {
    PortWithFake f;
    auto& b = f.Port.Buffer();
    f.Port.OpenPort();
    f.State->TakeCalls();
    b.SetInputSize(4097);
    EXPECT_EQ(b.InputSize(), 4096);
    b.SetInputSize(4097);  // compared before it is made even: applied again
    EXPECT_EQ(f.State->TakeCalls().size(), 2u);
    b.SetInputSize(1);
    EXPECT_EQ(b.InputSize(), 0);
    b.SetOutputSize(-3);
    EXPECT_EQ(b.OutputSize(), -3);
    b.SetOutputSize(7);
    EXPECT_EQ(b.OutputSize(), 6);
}

TEST(PortSettings, FlowControlSummary) {
    TComFlowControl fc;
    EXPECT_EQ(fc.FlowControl(), fcNone);
    fc.SetFlowControl(fcHardware);
    EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(fc.OutCTSFlow());
    EXPECT_EQ(fc.FlowControl(), fcHardware);
    fc.SetControlDTR(dtrHandshake);
    fc.SetOutDSRFlow(true);
    EXPECT_EQ(fc.FlowControl(), fcHardware);
    fc.SetFlowControl(fcSoftware);
    EXPECT_EQ(fc.ControlRTS(), rtsDisable);
    EXPECT_FALSE(fc.OutCTSFlow());
    EXPECT_TRUE(fc.XonXoffIn() && fc.XonXoffOut());
    EXPECT_EQ(fc.FlowControl(), fcSoftware);
    fc.SetXonXoffIn(false);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
    fc.SetFlowControl(fcCustom);  // changes nothing
    EXPECT_TRUE(fc.XonXoffOut());
    EXPECT_FALSE(fc.XonXoffIn());
    fc.SetFlowControl(fcNone);
    EXPECT_EQ(fc.FlowControl(), fcNone);
    EXPECT_EQ(fc.ControlDTR(), dtrHandshake);  // not part of the summary

    // Writing the summary always reconfigures, even fcCustom.
    PortWithFake f;
    f.Port.OpenPort();
    f.State->TakeCalls();
    f.Port.FlowControl().SetFlowControl(fcCustom);
    f.Port.FlowControl().SetFlowControl(fcNone);
    EXPECT_EQ(f.State->TakeCalls().size(), 2u);
}

TEST(PortSettings, AssignCopiesEveryFieldWithoutChecksOrCalls) {
    PortWithFake f;
    f.Port.OpenPort();
    f.State->TakeCalls();
    TComBuffer source;
    source.SetInputSize(100);
    f.Port.Buffer().Assign(source);
    EXPECT_TRUE(f.State->TakeCalls().empty());
    EXPECT_EQ(f.Port.Buffer().InputSize(), 100);

    TComTimeouts t;
    t.SetReadInterval(5);
    t.SetReadTotalMultiplier(6);
    t.SetReadTotalConstant(7);
    t.SetWriteTotalMultiplier(8);
    t.SetWriteTotalConstant(9);
    f.Port.Timeouts().Assign(t);
    EXPECT_EQ(f.Port.Timeouts().WriteTotalConstant(), 9);
    EXPECT_EQ(f.Port.Timeouts().ReadInterval(), 5);
    EXPECT_TRUE(f.State->TakeCalls().empty());

    // Another class is refused and nothing is copied.
    TComParity parity;
    parity.SetBits(prEven);
    try {
        f.Port.Timeouts().Assign(parity);
        FAIL() << "assigned across classes";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TComParity to a TComTimeouts");
    }
    EXPECT_EQ(f.Port.Timeouts().ReadInterval(), 5);
    f.Port.SetParity(parity);
    EXPECT_EQ(f.Port.Parity().Bits(), prEven);
}

TEST(PortSettings, CopiesOfSettingsObjectsAreFreeStanding) {
    PortWithFake f;
    f.Port.OpenPort();
    f.State->TakeCalls();
    TComParity copy = f.Port.Parity();
    EXPECT_EQ(copy.ComPort(), nullptr);
    copy.SetBits(prOdd);
    EXPECT_TRUE(f.State->TakeCalls().empty());
    EXPECT_EQ(f.Port.Parity().Bits(), prNone);
}

TEST(PortSettings, SyncMethodIsRefusedWhileOpen) {
    PortWithFake f;
    f.Port.SetSyncMethod(smWindowSync);
    f.Port.OpenPort();
    f.Port.SetSyncMethod(smWindowSync);  // same value: fine
    try {
        f.Port.SetSyncMethod(smNone);
        FAIL() << "changed while open";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errChangeWhileOpen);
        EXPECT_EQ(e.SystemErrorCode(), -1);
        EXPECT_STREQ(e.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(f.Port.SyncMethod(), smWindowSync);
}

TEST(PortSettings, FailedConfigureKeepsTheNewValue) {
    PortWithFake f;
    f.Port.OpenPort();
    f.State->Fail("SetCommState", EINVAL);
    try {
        f.Port.SetBaudRate(br110);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errSetCommState);
        EXPECT_EQ(e.SystemErrorCode(), EINVAL);
    }
    EXPECT_EQ(f.Port.BaudRate(), br110);
    f.State->Fail("SetCommTimeouts", EIO);
    EXPECT_THROW(f.Port.Timeouts().SetReadInterval(3), EComPort);
    EXPECT_EQ(f.Port.Timeouts().ReadInterval(), 3);
    f.State->Fail("SetupComm", ENOMEM);
    try {
        f.Port.Buffer().SetInputSize(64);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errSetupComm);
        EXPECT_EQ(e.SystemErrorCode(), ENOMEM);
    }
}

}  // namespace
}  // namespace corvane
