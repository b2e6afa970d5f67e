// Reading, sending and line state over the recording device.

#include <gtest/gtest.h>

#include "CPort.h"
#include "FakeComDevice.h"

namespace corvane {
namespace {

using testing::FakeComDevice;
using testing::FakeDeviceState;

struct PortTransfer : ::testing::Test {
    std::shared_ptr<FakeDeviceState> State = std::make_shared<FakeDeviceState>();
    TComPort Port{std::make_unique<FakeComDevice>(State)};
    void SetUp() override {
        Port.SetEvents({});
        Port.OpenPort();
        State->TakeCalls();
    }
};

TEST_F(PortTransfer, ReadsTakeWhatIsQueuedAndLookAtTheQueueAfterwards) {
    State->SetInput("abc");
    char buf[8] = {};
    EXPECT_EQ(Port.ReadBytes(buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_EQ(State->TakeCalls(),
              (std::vector<std::string>{"StartRead(2)", "CompleteRead", "ClearCommError"}));
    std::string text;
    EXPECT_EQ(Port.ReadText(text, 5), 1);
    EXPECT_EQ(text, "c");
}

TEST_F(PortTransfer, ReadTextOfNothingMakesNoDeviceCall) {
    std::string text = "old";
    EXPECT_EQ(Port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(Port.ReadText(text, -4), 0);
    EXPECT_TRUE(State->TakeCalls().empty());
}

TEST_F(PortTransfer, AsyncRequests) {
    State->SetInput("xyz");
    PIoRequest request = nullptr;
    EXPECT_THROW(Port.StartReadBytes(nullptr, 1, request), EComPort);
    try {
        Port.AwaitRequest(nullptr);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errAsyncParam);
        EXPECT_EQ(e.SystemErrorCode(), -1);
    }
    NewIoRequest(request);
    ASSERT_NE(request, nullptr);
    // Nothing issued: complete, no bytes, not a read.
    EXPECT_EQ(Port.AwaitRequest(request), 0);
    EXPECT_TRUE(State->TakeCalls().empty());
    std::string text;
    EXPECT_EQ(Port.StartReadText(text, 3, request), 3);
    EXPECT_EQ(request->Kind, rkRead);
    EXPECT_EQ(Port.AwaitRequest(request), 3);
    EXPECT_EQ(text, "xyz");
    FreeIoRequest(request);
    EXPECT_EQ(request, nullptr);
}

TEST_F(PortTransfer, ReadFailuresRaiseTheirCodes) {
    char c;
    State->Fail("StartRead", EIO);
    try {
        Port.ReadBytes(&c, 1);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errReadFile);
        EXPECT_EQ(e.SystemErrorCode(), EIO);
    }
    State->Succeed("StartRead");
    State->Fail("CompleteRead", ECANCELED);
    try {
        Port.ReadBytes(&c, 1);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errReadFile);
        EXPECT_EQ(e.SystemErrorCode(), ECANCELED);
    }
    State->Succeed("CompleteRead");
    State->Fail("ClearCommError", EIO);
    try {
        Port.ReadBytes(&c, 1);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errClearCommError);
    }
    EXPECT_THROW(Port.PendingInput(), EComPort);
    EXPECT_THROW(Port.LineErrors(), EComPort);
    State->Fail("WaitForInput", EIO);
    try {
        Port.WaitForInput(10);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errClearCommError);
    }
}

TEST_F(PortTransfer, PurgeFlags) {
    Port.PurgeBuffers(false, false);
    Port.PurgeBuffers(true, true);
    Port.PurgeBuffers(true, false);
    Port.PurgeBuffers(false, true);
    EXPECT_EQ(State->TakeCalls(), (std::vector<std::string>{"PurgeComm(0x0)", "PurgeComm(0xC)",
                                                            "PurgeComm(0x8)", "PurgeComm(0x4)"}));
    State->Fail("PurgeComm", EIO);
    try {
        Port.PurgeBuffers(true, true);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errPurgeComm);
        EXPECT_EQ(e.SystemErrorCode(), EIO);
    }
}

TEST_F(PortTransfer, SendCharAndItsFailure) {
    Port.SendChar('p');
    EXPECT_EQ(State->Sent, "p");
    State->Fail("TransmitCommChar", EAGAIN);
    try {
        Port.SendChar('q');
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errTransmitChar);
        EXPECT_EQ(e.SystemErrorCode(), EAGAIN);
    }
}

TEST_F(PortTransfer, ModemSignalsFromTheStatusWord) {
    State->ModemStatus = device::kMsCtsOn | device::kMsRlsdOn;
    EXPECT_EQ(Port.ModemSignals(), (TLineSignals{lsCTS, lsRLSD}));
    State->ModemStatus = device::kMsDsrOn | device::kMsRingOn | 0x0F;
    EXPECT_EQ(Port.ModemSignals(), (TLineSignals{lsDSR, lsRing}));
    State->Fail("GetCommModemStatus", EIO);
    try {
        Port.ModemSignals();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errModemStatus);
    }
}

TEST_F(PortTransfer, LineErrorsFromTheErrorWord) {
    State->LineErrors = device::kCeFrame | device::kCeOverrun;
    EXPECT_EQ(Port.LineErrors(), (TComErrors{leFraming, leOverrun}));
    // Parity errors count only while parity is checked.
    State->LineErrors = device::kCeRxParity;
    EXPECT_TRUE(Port.LineErrors().Empty());
    Port.Parity().SetCheck(true);
    State->LineErrors = device::kCeRxParity | device::kCeBreak | device::kCeIoe | device::kCeMode |
                        device::kCeRxOver | device::kCeTxFull | 0x0200;
    EXPECT_EQ(Port.LineErrors(),
              (TComErrors{leParity, leBreak, leDeviceIO, leMode, leRxOverflow, leTxFull}));
    // Reported errors are gone.
    EXPECT_TRUE(Port.LineErrors().Empty());
}

TEST(PortTransferClosed, OperationsOnAClosedPortFailInTheirCall) {
    TComPort port;  // the real device, never opened
    try {
        port.SendChar('a');
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errTransmitChar);
#ifdef _WIN32
        EXPECT_EQ(e.SystemErrorCode(), 6);  // ERROR_INVALID_HANDLE
#else
        EXPECT_EQ(e.SystemErrorCode(), EBADF);
#endif
    }
    try {
        port.PendingInput();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errClearCommError);
    }
    char c;
    EXPECT_THROW(port.ReadBytes(&c, 1), EComPort);
    EXPECT_THROW(port.PurgeBuffers(true, true), EComPort);
    EXPECT_THROW(port.ModemSignals(), EComPort);
}

}  // namespace
}  // namespace corvane
