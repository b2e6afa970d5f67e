#pragma once

// A device that records every call with its arguments and can fail any call
// with a chosen error number; for the cases a real terminal cannot show.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device/ComDevice.h"

namespace corvane::testing {

// Raised when something for the fake's event wait arrives; the wait also
// ends when the port's stop signal is set (FakeKick_posix.cpp,
// FakeKick_win.cpp).
class FakeKick {
public:
    FakeKick();
    ~FakeKick();
    FakeKick(const FakeKick&) = delete;
    FakeKick& operator=(const FakeKick&) = delete;
    void Raise() const;
    void WaitOrStop(const device::TStopSignal& stop) const;

private:
    std::intptr_t FWaitable;
};

// The system's number for a request that an abort ended.
extern const int kCancelled;

// What the platform puts before a port name to open its device, and a name
// that already is a device's path (used as it is).
#ifdef _WIN32
inline const std::string kDevicePrefix = "\\\\.\\";
inline const std::string kDevicePathName = "\\\\.\\COM12";
#else
inline const std::string kDevicePrefix = "/dev/";
inline const std::string kDevicePathName = "/dev/pts/77";
#endif

// What the test sees of the fake: shared, so it outlives the port.
struct FakeDeviceState {
    std::mutex Mutex;
    std::vector<std::string> Calls;
    std::map<std::string, int> Failures;  // call name -> errno, until cleared
    bool Open = false;
    std::string Path;
    device::TDcb Dcb{};
    device::TCommTimeouts Timeouts{};
    std::uint32_t Mask = 0;
    std::string Input;             // the input queue
    std::uint32_t LineErrors = 0;  // CE_... bits, cleared by ClearCommError
    std::uint32_t ModemStatus = 0;
    std::string Sent;
    std::deque<std::uint32_t> Events;  // wake-ups the next waits report
    int Waits = 0;                     // WaitCommEvent calls so far
    std::condition_variable WaitsChanged;
    std::function<void()> OnWait;  // called as each wait begins (set before opening)
    FakeKick Kicked;
    std::uint64_t AbortGeneration = 0;

    void Fail(const std::string& call, int err) {
        std::lock_guard lock(Mutex);
        Failures[call] = err;
    }
    void Succeed(const std::string& call) {
        std::lock_guard lock(Mutex);
        Failures.erase(call);
    }
    std::vector<std::string> TakeCalls() {
        std::lock_guard lock(Mutex);
        return std::exchange(Calls, {});
    }
    void PushEvent(std::uint32_t mask) {
        {
            std::lock_guard lock(Mutex);
            Events.push_back(mask);
        }
        Kick();
    }
    void Kick() const { Kicked.Raise(); }
    void SetInput(const std::string& data) {
        std::lock_guard lock(Mutex);
        Input = data;
    }
    std::string InputNow() {
        std::lock_guard lock(Mutex);
        return Input;
    }
    int WaitCount() {
        std::lock_guard lock(Mutex);
        return Waits;
    }
    // Blocks until the monitor has begun its `n`th wait.
    bool AwaitWaits(int n) {
        std::unique_lock lock(Mutex);
        return WaitsChanged.wait_for(lock, std::chrono::seconds(30), [&] { return Waits >= n; });
    }
};

inline std::string Hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

class FakeComDevice : public device::IComDevice {
public:
    explicit FakeComDevice(std::shared_ptr<FakeDeviceState> state) : S(std::move(state)) {}

    int Open(const std::string& path) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("Open(" + path + ")", "Open")) return err;
        S->Open = true;
        S->Path = path;
        return 0;
    }
    bool IsOpen() const override {
        std::lock_guard lock(S->Mutex);
        return S->Open;
    }
    int Close() override {
        std::lock_guard lock(S->Mutex);
        S->Open = false;
        return Record("Close", "Close");
    }
    int SetupComm(std::uint32_t in, std::uint32_t out) override {
        std::lock_guard lock(S->Mutex);
        return Record("SetupComm(" + std::to_string(in) + "," + std::to_string(out) + ")",
                      "SetupComm");
    }
    int SetCommState(const device::TDcb& dcb) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("SetCommState", "SetCommState")) return err;
        S->Dcb = dcb;
        return 0;
    }
    int SetCommTimeouts(const device::TCommTimeouts& t) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("SetCommTimeouts", "SetCommTimeouts")) return err;
        S->Timeouts = t;
        return 0;
    }
    int SetCommMask(std::uint32_t mask) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("SetCommMask(" + Hex(mask) + ")", "SetCommMask")) return err;
        S->Mask = mask;
        return 0;
    }
    int WaitCommEvent(std::uint32_t& mask, const device::TStopSignal& stop) override {
        std::uint64_t generation;
        {
            std::lock_guard lock(S->Mutex);
            ++S->Waits;
            if (auto it = S->Failures.find("WaitCommEvent"); it != S->Failures.end()) {
                return it->second;
            }
            generation = S->AbortGeneration;
        }
        S->WaitsChanged.notify_all();
        if (S->OnWait) S->OnWait();
        for (;;) {
            if (stop.IsSet()) return kCancelled;
            {
                std::lock_guard lock(S->Mutex);
                if (S->AbortGeneration != generation) return kCancelled;
                if (!S->Events.empty()) {
                    mask = S->Events.front();
                    S->Events.pop_front();
                    return 0;
                }
            }
            S->Kicked.WaitOrStop(stop);
        }
    }
    int PurgeComm(std::uint32_t flags) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("PurgeComm(" + Hex(flags) + ")", "PurgeComm")) return err;
        if ((flags & (device::kPurgeRxAbort | device::kPurgeTxAbort)) != 0) {
            ++S->AbortGeneration;
            S->Kick();
        }
        if ((flags & device::kPurgeRxClear) != 0) S->Input.clear();
        return 0;
    }
    int ClearCommError(std::uint32_t& errors, device::TComStat& stat) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("ClearCommError", "ClearCommError")) return err;
        errors = std::exchange(S->LineErrors, 0);
        stat.cbInQue = static_cast<std::uint32_t>(S->Input.size());
        stat.cbOutQue = 0;
        return 0;
    }
    int GetCommModemStatus(std::uint32_t& status) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("GetCommModemStatus", "GetCommModemStatus")) return err;
        status = S->ModemStatus;
        return 0;
    }
    int TransmitCommChar(char ch) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("TransmitCommChar(" + Hex(static_cast<unsigned char>(ch)) + ")",
                             "TransmitCommChar")) {
            return err;
        }
        S->Sent += ch;
        return 0;
    }
    // Reads complete at once with what is queued.
    int StartRead(device::TReadOp& op) override {
        std::lock_guard lock(S->Mutex);
        op.Issued = true;
        op.Complete = true;
        op.Done = 0;
        if (int err = Record("StartRead(" + std::to_string(op.Count) + ")", "StartRead")) {
            op.Error = err;
            return err;
        }
        const std::size_t n = std::min<std::size_t>(op.Count, S->Input.size());
        std::memcpy(op.Buffer, S->Input.data(), n);
        S->Input.erase(0, n);
        op.Done = static_cast<std::uint32_t>(n);
        return 0;
    }
    int CompleteRead(device::TReadOp& op) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("CompleteRead", "CompleteRead")) return err;
        return op.Error;
    }
    int WaitForInput(int timeoutMs, bool& pending) override {
        std::lock_guard lock(S->Mutex);
        if (int err = Record("WaitForInput(" + std::to_string(timeoutMs) + ")", "WaitForInput")) {
            return err;
        }
        pending = !S->Input.empty();
        return 0;
    }

private:
    // Logs the call; returns the error it is to fail with, or 0.
    int Record(const std::string& call, const std::string& name) {
        S->Calls.push_back(call);
        auto it = S->Failures.find(name);
        return it == S->Failures.end() ? 0 : it->second;
    }

    std::shared_ptr<FakeDeviceState> S;
};

// A port over a fresh fake, and the fake's state.
struct FakePort {
    std::shared_ptr<FakeDeviceState> State = std::make_shared<FakeDeviceState>();
};

}  // namespace corvane::testing
