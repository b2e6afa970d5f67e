// Opening, closing and notifications of the port over the recording device.

#include <gtest/gtest.h>

#include <algorithm>

#include "CPort.h"
#include "FakeComDevice.h"

namespace corvane {
namespace {

using testing::FakeComDevice;
using testing::FakeDeviceState;

// Records the notifications in the order they fire.
struct Journal {
    std::vector<std::string> Entries;
    void Attach(TCustomComPort& p) {
        p.OnBeforeOpen = [this](TCustomComPort&) { Entries.push_back("BeforeOpen"); };
        p.OnAfterOpen = [this](TCustomComPort&) { Entries.push_back("AfterOpen"); };
        p.OnBeforeClose = [this](TCustomComPort&) { Entries.push_back("BeforeClose"); };
        p.OnAfterClose = [this](TCustomComPort&) { Entries.push_back("AfterClose"); };
        p.OnCTSChange = [this](TCustomComPort&, bool on) { Add("CTS", on); };
        p.OnDSRChange = [this](TCustomComPort&, bool on) { Add("DSR", on); };
        p.OnRLSDChange = [this](TCustomComPort&, bool on) { Add("RLSD", on); };
    }
    void Add(const char* what, bool on) { Entries.push_back(std::string(what) + (on ? "+" : "-")); }
    std::vector<std::string> Take() { return std::exchange(Entries, {}); }
};

const std::vector<std::string> kOpenSequence = {"BeforeOpen", "AfterOpen", "CTS+", "DSR-", "RLSD+"};
const std::vector<std::string> kCloseSequence = {"CTS-", "DSR-", "RLSD-", "BeforeClose",
                                                 "AfterClose"};

struct PortLifecycle : ::testing::Test {
    Journal Log;  // outlives the port, whose destruction still notifies
    std::shared_ptr<FakeDeviceState> State = std::make_shared<FakeDeviceState>();
    std::unique_ptr<TComPort> Port =
        std::make_unique<TComPort>(std::make_unique<FakeComDevice>(State));
    void SetUp() override {
        Port->SetEvents({});
        State->ModemStatus = device::kMsCtsOn | device::kMsRlsdOn;
        Log.Attach(*Port);
    }
    std::size_t Count(const std::string& call) {
        auto calls = State->TakeCalls();
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
    }
};

TEST_F(PortLifecycle, OpenAndCloseNotifyInOrder) {
    Port->OpenPort();
    EXPECT_TRUE(Port->Connected());
    EXPECT_EQ(Log.Take(), kOpenSequence);
    Port->ClosePort();
    EXPECT_FALSE(Port->Connected());
    EXPECT_EQ(Log.Take(), kCloseSequence);
    const auto calls = State->TakeCalls();
    // Outstanding requests are aborted before the device is closed.
    auto abort = std::find(calls.begin(), calls.end(), "PurgeComm(0x3)");
    auto close = std::find(calls.begin(), calls.end(), "Close");
    ASSERT_NE(abort, calls.end());
    ASSERT_NE(close, calls.end());
    EXPECT_LT(abort, close);
    EXPECT_FALSE(State->Open);
}

TEST_F(PortLifecycle, OpenWhenOpenAndCloseWhenClosedDoNothing) {
    Port->ClosePort();
    Port->SetConnected(false);
    EXPECT_TRUE(State->TakeCalls().empty());
    Port->SetConnected(true);
    Log.Take();
    State->TakeCalls();
    Port->OpenPort();
    Port->SetConnected(true);
    EXPECT_TRUE(State->TakeCalls().empty());
    EXPECT_TRUE(Log.Take().empty());
}

TEST_F(PortLifecycle, PortChangeWhileOpenReopensUnderTheNewName) {
    Port->SetPort("COM3");  // closed: stored only
    EXPECT_TRUE(State->TakeCalls().empty());
    Port->OpenPort();
    Log.Take();
    State->TakeCalls();
    Port->SetPort("COM3");  // the same name: nothing
    EXPECT_TRUE(State->TakeCalls().empty());
    Port->SetPort("com3");  // names compare case-sensitively
    std::vector<std::string> expected = kCloseSequence;
    expected.insert(expected.end(), kOpenSequence.begin(), kOpenSequence.end());
    EXPECT_EQ(Log.Take(), expected);
    EXPECT_EQ(State->Path, testing::kDevicePrefix + "com3");
    EXPECT_TRUE(Port->Connected());
}

TEST_F(PortLifecycle, AbsolutePortNamesAreUsedAsTheyAre) {
    Port->SetPort(testing::kDevicePathName);
    Port->OpenPort();
    EXPECT_EQ(State->Path, testing::kDevicePathName);
}

TEST_F(PortLifecycle, FailedOpenReportsTheSystemNumber) {
    State->Fail("Open", ENOENT);
    try {
        Port->OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errOpenPort);
        EXPECT_EQ(e.SystemErrorCode(), 2);
        EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    }
    EXPECT_FALSE(Port->Connected());
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"BeforeOpen"});
}

TEST_F(PortLifecycle, ConfigureFailureWhileOpeningReleasesTheDevice) {
    const char* calls[] = {"SetupComm", "SetCommState", "SetCommTimeouts"};
    const int codes[] = {errSetupComm, errSetCommState, errSetCommTimeouts};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(calls[i]);
        State->Fail(calls[i], EINVAL);
        try {
            Port->OpenPort();
            FAIL();
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), codes[i]);
            EXPECT_EQ(e.SystemErrorCode(), EINVAL);
        }
        EXPECT_FALSE(Port->Connected());
        EXPECT_FALSE(State->Open);
        EXPECT_EQ(Count("Close"), 1u);
        EXPECT_EQ(Log.Take(), std::vector<std::string>{"BeforeOpen"});
        State->Succeed(calls[i]);
    }
    Port->OpenPort();  // starts from scratch
    EXPECT_TRUE(Port->Connected());
}

// A device that has gone cannot abort its requests; the port closes anyway
// and can be opened again.
TEST_F(PortLifecycle, CloseOfAGoneDeviceStillCloses) {
    Port->SetEvents({evRxChar});
    Port->OpenPort();
    ASSERT_TRUE(Port->MonitorRunning());
    Log.Take();
    State->Fail("PurgeComm", EIO);
    try {
        Port->ClosePort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errPurgeComm);
        EXPECT_EQ(e.SystemErrorCode(), EIO);
    }
    EXPECT_FALSE(Port->Connected());
    EXPECT_FALSE(Port->MonitorRunning());
    EXPECT_FALSE(State->Open);
    EXPECT_EQ(Log.Take(), kCloseSequence);
    State->Succeed("PurgeComm");
    Port->OpenPort();
    EXPECT_TRUE(Port->Connected());
}

TEST_F(PortLifecycle, ModemStatusFailureAfterOpeningLeavesThePortOpen) {
    State->Fail("GetCommModemStatus", EIO);
    try {
        Port->OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), errModemStatus);
    }
    EXPECT_TRUE(Port->Connected());
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"BeforeOpen", "AfterOpen"}));
}

TEST_F(PortLifecycle, HandlerExceptionStopsTheSequenceThere) {
    Port->OnBeforeOpen = [](TCustomComPort&) { throw Exception("no"); };
    EXPECT_THROW(Port->OpenPort(), Exception);
    EXPECT_FALSE(Port->Connected());
    EXPECT_TRUE(State->TakeCalls().empty());
}

TEST_F(PortLifecycle, LoadingRecordsConnectedAndOpensAfterwards) {
    Port->BeginLoading();
    Port->SetConnected(true);
    Port->SetBaudRate(br19200);
    Port->SetPort("COM7");
    EXPECT_TRUE(State->TakeCalls().empty());
    Port->EndLoading();
    EXPECT_TRUE(Port->Connected());
    EXPECT_EQ(State->Path, testing::kDevicePrefix + "COM7");
    EXPECT_EQ(State->Dcb.BaudRate, 19200u);
}

TEST_F(PortLifecycle, LoadingWithAMissingDeviceShowsTheErrorAndFinishesClosed) {
    std::string shown;
    Port->Dispatcher()->SetExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            shown = x.what();
        }
    });
    State->Fail("Open", ENOENT);
    Port->BeginLoading();
    Port->SetConnected(true);
    EXPECT_NO_THROW(Port->EndLoading());
    EXPECT_EQ(shown, "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(Port->Connected());
}

TEST_F(PortLifecycle, DesignModeReachesNoDevice) {
    Port->SetDesigning(true);
    Port->SetConnected(true);
    Port->OpenPort();
    Port->SetBaudRate(br110);
    EXPECT_TRUE(State->TakeCalls().empty());
    EXPECT_TRUE(Log.Take().empty());
}

TEST_F(PortLifecycle, DestructionRunsTheWholeClose) {
    Port->OpenPort();
    Log.Take();
    Port.reset();
    EXPECT_EQ(Log.Take(), kCloseSequence);
    EXPECT_FALSE(State->Open);
}

TEST_F(PortLifecycle, DestructionReleasesEvenWhenAHandlerThrows) {
    Port->OpenPort();
    Port->OnBeforeClose = [](TCustomComPort&) { throw Exception("handler"); };
    Port.reset();
    EXPECT_FALSE(State->Open);
}

}  // namespace
}  // namespace corvane
