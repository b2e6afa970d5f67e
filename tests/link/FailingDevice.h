#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "device/ComDevice.h"

namespace corvane::test {

// Failures to inject, shared with the test.
struct DeviceFaults {
    std::atomic<int> purgeErrno{0};     // every purge fails with this errno
    std::atomic<int> transmitErrno{0};  // every character send fails with this errno
};

// The system's own device, with chosen calls failing on demand: the one way
// to see what happens when closing a port fails partway.
class FailingDevice : public device::IComDevice {
public:
    explicit FailingDevice(std::shared_ptr<DeviceFaults> faults)
        : FFaults(std::move(faults)), FReal(device::MakeSystemComDevice()) {}

    int Open(const std::string& path) override { return FReal->Open(path); }
    bool IsOpen() const override { return FReal->IsOpen(); }
    int Close() override { return FReal->Close(); }
    int SetupComm(std::uint32_t in, std::uint32_t out) override {
        return FReal->SetupComm(in, out);
    }
    int SetCommState(const device::TDcb& dcb) override { return FReal->SetCommState(dcb); }
    int SetCommTimeouts(const device::TCommTimeouts& t) override {
        return FReal->SetCommTimeouts(t);
    }
    int SetCommMask(std::uint32_t mask) override { return FReal->SetCommMask(mask); }
    int WaitCommEvent(std::uint32_t& mask, const device::TStopSignal& stop) override {
        return FReal->WaitCommEvent(mask, stop);
    }
    int PurgeComm(std::uint32_t flags) override {
        if (int err = FFaults->purgeErrno.load()) return err;
        return FReal->PurgeComm(flags);
    }
    int ClearCommError(std::uint32_t& errors, device::TComStat& stat) override {
        return FReal->ClearCommError(errors, stat);
    }
    int GetCommModemStatus(std::uint32_t& status) override {
        return FReal->GetCommModemStatus(status);
    }
    int TransmitCommChar(char ch) override {
        if (int err = FFaults->transmitErrno.load()) return err;
        return FReal->TransmitCommChar(ch);
    }
    int StartRead(device::TReadOp& op) override { return FReal->StartRead(op); }
    int CompleteRead(device::TReadOp& op) override { return FReal->CompleteRead(op); }
    int WaitForInput(int timeoutMs, bool& pending) override {
        return FReal->WaitForInput(timeoutMs, pending);
    }

private:
    std::shared_ptr<DeviceFaults> FFaults;
    std::unique_ptr<device::IComDevice> FReal;
};

}  // namespace corvane::test
