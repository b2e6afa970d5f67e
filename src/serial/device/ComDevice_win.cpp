// The device layer on Windows: the serial port component's calls go to the
// Win32 communications functions they are named after.

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "ComDevice.h"

namespace corvane::device {

// ---------------------------------------------------------------------------
// TStopSignal: a manual-reset event object.

TStopSignal::TStopSignal()
    : FWaitable(reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {
    if (FWaitable == 0) FError = static_cast<int>(GetLastError());
}

TStopSignal::~TStopSignal() {
    if (FWaitable != 0) CloseHandle(reinterpret_cast<HANDLE>(FWaitable));
}

void TStopSignal::Set() {
    FSet.store(true);
    if (FWaitable != 0) SetEvent(reinterpret_cast<HANDLE>(FWaitable));
}

bool TStopSignal::IsSet() const {
    return FSet.load();
}

// ---------------------------------------------------------------------------

std::string DevicePath(const std::string& portName) {
    if (portName.rfind("\\\\.\\", 0) == 0) return portName;
    return "\\\\.\\" + portName;
}

TErrorKind ErrorKind(int error) {
    switch (error) {
        // Windows refuses a port that another program holds.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return TErrorKind::Busy;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return TErrorKind::Absent;
        case ERROR_OPERATION_ABORTED:
            return TErrorKind::Cancelled;
        // A USB adapter pulled out while open.
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return TErrorKind::Gone;
        default:
            return TErrorKind::Other;
    }
}

// ---------------------------------------------------------------------------

namespace {

static_assert(sizeof(DCB) == sizeof(TDcb), "the line-settings record is the system's DCB");
static_assert(sizeof(COMMTIMEOUTS) == sizeof(TCommTimeouts), "as is the time-outs record");

int LastError() {
    return static_cast<int>(GetLastError());
}

// A manual-reset event for one overlapped request.
HANDLE NewRequestEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// One overlapped ReadFile: the system's request block and its event, which
// must stay where they are until the system has completed the read.
struct TOverlappedRead {
    OVERLAPPED Ov{};
    HANDLE File = INVALID_HANDLE_VALUE;
    bool Pending = false;
    std::uint32_t Taken = 0;  // bytes that came from the device's look-ahead

    explicit TOverlappedRead(HANDLE file) : File(file) { Ov.hEvent = NewRequestEvent(); }
    ~TOverlappedRead() {
        if (Pending) {
            // Dropped before it completed: end it, then let it complete.
            DWORD n = 0;
            CancelIoEx(File, &Ov);
            GetOverlappedResult(File, &Ov, &n, TRUE);
        }
        if (Ov.hEvent != nullptr) CloseHandle(Ov.hEvent);
    }
    TOverlappedRead(const TOverlappedRead&) = delete;
    TOverlappedRead& operator=(const TOverlappedRead&) = delete;
};

// A read that runs into its total time-out ends with ERROR_TIMEOUT under
// Wine, where Windows completes it with the bytes that came: both are a
// time-out, no failure.
bool IsReadTimeout(DWORD err) {
    return err == ERROR_TIMEOUT;
}

// Interval MAXDWORD with both totals 0: a read returns at once with what is
// queued.
bool ReturnsAtOnce(const TCommTimeouts& t) {
    return t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
           t.ReadTotalTimeoutConstant == 0;
}

class TWinComDevice final : public IComDevice {
public:
    TWinComDevice() = default;
    ~TWinComDevice() override {
        if (FHandle != INVALID_HANDLE_VALUE) Close();
    }

    int Open(const std::string& path) override {
        if (FHandle != INVALID_HANDLE_VALUE) return ERROR_BUSY;
        // Exclusive: Windows refuses the port to any other opener meanwhile.
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return LastError();
        // The port is given back at close with the settings it was found with.
        FFound.DCBlength = sizeof FFound;
        FHasFound = ::GetCommState(handle, &FFound) != 0;
        std::lock_guard lock(FMutex);
        FHandle = handle;
        FTimeouts = TCommTimeouts{};
        FLookAhead.clear();
        FHeldErrors = 0;
        FMask = 0;
        return 0;
    }

    bool IsOpen() const override { return FHandle != INVALID_HANDLE_VALUE; }

    int Close() override {
        HANDLE handle = FHandle;
        if (handle == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
        FHandle = INVALID_HANDLE_VALUE;
        if (std::exchange(FHasFound, false)) {
            // DTR and RTS stay as they are (off for the programmer): raising
            // one just before the close would be the very reset that the
            // settings keep from a board.
            DCB back = FFound;
            DCB now{};
            now.DCBlength = sizeof now;
            if (::GetCommState(handle, &now)) {
                back.fDtrControl = now.fDtrControl;
                back.fRtsControl = now.fRtsControl;
                ::SetCommState(handle, &back);
            }
        }
        return CloseHandle(handle) ? 0 : LastError();
    }

    int SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override {
        return ::SetupComm(FHandle, inQueue, outQueue) ? 0 : LastError();
    }

    int SetCommState(const TDcb& dcb) override {
        DCB system;
        std::memcpy(&system, &dcb, sizeof system);
        return ::SetCommState(FHandle, &system) ? 0 : LastError();
    }

    int SetCommTimeouts(const TCommTimeouts& timeouts) override {
        std::lock_guard lock(FMutex);
        COMMTIMEOUTS system;
        std::memcpy(&system, &timeouts, sizeof system);
        if (!::SetCommTimeouts(FHandle, &system)) return LastError();
        FTimeouts = timeouts;
        return 0;
    }

    int SetCommMask(std::uint32_t mask) override {
        std::lock_guard lock(FMutex);
        if (!::SetCommMask(FHandle, mask)) return LastError();
        FMask = mask;
        ++FWaitInterrupts;  // it ends a pending wait
        return 0;
    }

    int WaitCommEvent(std::uint32_t& mask, const TStopSignal& stop) override {
        OVERLAPPED ov{};
        ov.hEvent = NewRequestEvent();
        if (ov.hEvent == nullptr) return LastError();
        const std::uint64_t interrupts = WaitInterrupts();
        DWORD fired = 0;
        int rc = 0;
        if (!::WaitCommEvent(FHandle, &fired, &ov)) {
            rc = LastError();
            if (rc == ERROR_IO_PENDING) rc = AwaitEvent(ov, stop);
        }
        CloseHandle(ov.hEvent);
        if (rc == ERROR_OPERATION_ABORTED && !stop.IsSet() && WaitInterrupts() == interrupts) {
            // The system gave the wait up by itself (Wine does, on a device
            // without modem lines): it cannot wait for events here.
            rc = ERROR_NOT_SUPPORTED;
        }
        if (rc == 0) mask = fired;
        return rc;
    }

    int PurgeComm(std::uint32_t flags) override {
        const std::uint32_t aborts = flags & (kPurgeTxAbort | kPurgeRxAbort);
        if (aborts != 0) {
            {
                std::lock_guard lock(FMutex);
                ++FWaitInterrupts;
            }
            // Outstanding requests are ended by cancelling them: Wine's
            // PurgeComm does not end a pending read, and its abort discards
            // the input as a clear would (Windows keeps it). A handle with
            // nothing pending is fine.
            if (!CancelIoEx(FHandle, nullptr) && GetLastError() != ERROR_NOT_FOUND) {
                return LastError();
            }
            if (flags == aborts) {
                // Nothing to discard: a look at the device tells whether it
                // is still there.
                std::lock_guard lock(FMutex);
                std::uint32_t queued = 0;
                return QueuedLocked(queued);
            }
        }
        if (!::PurgeComm(FHandle, flags & ~aborts)) return LastError();
        if ((flags & kPurgeRxClear) != 0) {
            std::lock_guard lock(FMutex);
            FLookAhead.clear();
        }
        return 0;
    }

    int ClearCommError(std::uint32_t& errors, TComStat& stat) override {
        std::lock_guard lock(FMutex);
        DWORD found = 0;
        COMSTAT status{};
        if (!::ClearCommError(FHandle, &found, &status)) return LastError();
        errors = found | std::exchange(FHeldErrors, 0u);
        stat.cbInQue = status.cbInQue + static_cast<std::uint32_t>(FLookAhead.size());
        stat.cbOutQue = status.cbOutQue;
        return 0;
    }

    int GetCommModemStatus(std::uint32_t& status) override {
        DWORD lines = 0;
        if (!::GetCommModemStatus(FHandle, &lines)) {
            // A device without modem lines reports none.
            if (GetLastError() != ERROR_NOT_SUPPORTED) return LastError();
            lines = 0;
        }
        status = lines;
        return 0;
    }

    int TransmitCommChar(char ch) override {
        return ::TransmitCommChar(FHandle, ch) ? 0 : LastError();
    }

    int StartRead(TReadOp& op) override {
        auto read = std::make_shared<TOverlappedRead>(FHandle);
        if (read->Ov.hEvent == nullptr) return Fail(op, LastError());
        op.Issued = true;
        op.Complete = false;
        op.Done = 0;
        op.Error = 0;
        std::uint32_t queued = 0;
        {
            std::lock_guard lock(FMutex);
            op.Timeouts = FTimeouts;
            // What a wait for input took from the device comes first.
            read->Taken =
                static_cast<std::uint32_t>(std::min<std::size_t>(op.Count, FLookAhead.size()));
            std::memcpy(op.Buffer, FLookAhead.data(), read->Taken);
            FLookAhead.erase(0, read->Taken);
            if (ReturnsAtOnce(op.Timeouts) && read->Taken < op.Count) {
                if (int err = QueuedLocked(queued)) return Fail(op, err);
            }
        }
        op.Done = read->Taken;
        // Nothing more to wait for: the count is met, or the read returns at
        // once and nothing is queued (Wine would wait for a byte instead).
        if (op.Done == op.Count || (ReturnsAtOnce(op.Timeouts) && queued == 0)) {
            op.Complete = true;
            return 0;
        }
        DWORD n = 0;
        if (ReadFile(FHandle, static_cast<char*>(op.Buffer) + op.Done, op.Count - op.Done, &n,
                     &read->Ov)) {
            op.Done += n;
            op.Complete = true;
            return 0;
        }
        const DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) {
            if (IsReadTimeout(err)) {
                op.Complete = true;
                return 0;
            }
            return Fail(op, static_cast<int>(err));
        }
        read->Pending = true;
        op.DeviceState = std::move(read);
        return 0;
    }

    int CompleteRead(TReadOp& op) override {
        if (op.Complete) return op.Error;
        auto* read = static_cast<TOverlappedRead*>(op.DeviceState.get());
        // No limit of its own: the device's time-outs end the read.
        if (WaitForSingleObject(read->Ov.hEvent, INFINITE) != WAIT_OBJECT_0) {
            return LastError();  // still pending: kept until the system lets go of it
        }
        DWORD n = 0;
        const BOOL ok = GetOverlappedResult(FHandle, &read->Ov, &n, FALSE);
        const DWORD err = ok ? 0 : GetLastError();
        read->Pending = false;
        op.Done = read->Taken + n;
        op.Complete = true;
        op.Error = ok || IsReadTimeout(err) ? 0 : static_cast<int>(err);
        op.DeviceState.reset();
        return op.Error;
    }

    int WaitForInput(int timeoutMs, bool& pending) override {
        {
            std::lock_guard lock(FMutex);
            std::uint32_t queued = 0;
            if (int err = QueuedLocked(queued)) return err;
            pending = queued > 0;
        }
        if (pending || timeoutMs <= 0) return 0;
        // Windows has no wait for input beside the monitor's event wait: a
        // read of one byte, with a total time-out of timeoutMs, waits for
        // it; the byte is kept for the next read.
        TOverlappedRead read(FHandle);
        if (read.Ov.hEvent == nullptr) return LastError();
        COMMTIMEOUTS waiting{0, 0, static_cast<DWORD>(timeoutMs), 0, 0};
        std::unique_lock lock(FMutex);
        if (!::SetCommTimeouts(FHandle, &waiting)) return LastError();
        lock.unlock();
        char byte = 0;
        DWORD n = 0;
        int rc = 0;
        if (!ReadFile(FHandle, &byte, 1, &n, &read.Ov)) {
            rc = LastError();
            if (rc == ERROR_IO_PENDING) {
                read.Pending = true;
                WaitForSingleObject(read.Ov.hEvent, INFINITE);
                rc = GetOverlappedResult(FHandle, &read.Ov, &n, FALSE) ? 0 : LastError();
                read.Pending = false;
            }
        }
        if (IsReadTimeout(static_cast<DWORD>(rc))) rc = 0;
        lock.lock();
        COMMTIMEOUTS restored;
        std::memcpy(&restored, &FTimeouts, sizeof restored);
        if (!::SetCommTimeouts(FHandle, &restored) && rc == 0) rc = LastError();
        if (n == 1) FLookAhead += byte;
        pending = !FLookAhead.empty();
        return pending ? 0 : rc;
    }

private:
    static int Fail(TReadOp& op, int err) {
        op.Complete = true;
        op.Error = err;
        return err;
    }

    std::uint64_t WaitInterrupts() {
        std::lock_guard lock(FMutex);
        return FWaitInterrupts;
    }

    // Waits for a pending event wait to complete, or ends it when `stop` is
    // set: setting the mask again ends a pending wait (cancelling does not
    // under Wine), and the wait is let complete before its block goes.
    int AwaitEvent(OVERLAPPED& ov, const TStopSignal& stop) {
        HANDLE handles[2] = {reinterpret_cast<HANDLE>(stop.Waitable()), ov.hEvent};
        const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        DWORD n = 0;
        if (woke != WAIT_OBJECT_0 + 1) {
            {
                std::lock_guard lock(FMutex);
                ::SetCommMask(FHandle, FMask);
            }
            GetOverlappedResult(FHandle, &ov, &n, TRUE);
            return ERROR_OPERATION_ABORTED;
        }
        return GetOverlappedResult(FHandle, &ov, &n, FALSE) ? 0 : LastError();
    }

    // The input queue's count, look-ahead included; the line errors that the
    // look finds are kept for the next ClearCommError.
    int QueuedLocked(std::uint32_t& queued) {
        DWORD found = 0;
        COMSTAT status{};
        if (!::ClearCommError(FHandle, &found, &status)) return LastError();
        FHeldErrors |= found;
        queued = status.cbInQue + static_cast<std::uint32_t>(FLookAhead.size());
        return 0;
    }

    std::mutex FMutex;
    std::atomic<HANDLE> FHandle{INVALID_HANDLE_VALUE};
    TCommTimeouts FTimeouts{};
    std::uint32_t FMask = 0;
    // Bumped by whatever ends a pending event wait on purpose (a new mask,
    // an abort), so that a wait can tell those from the system's own.
    std::uint64_t FWaitInterrupts = 0;
    // Bytes that a wait for input took from the device, read first.
    std::string FLookAhead;
    std::uint32_t FHeldErrors = 0;
    DCB FFound{};  // the settings the port was found with
    bool FHasFound = false;
};

}  // namespace

std::unique_ptr<IComDevice> MakeSystemComDevice() {
    return std::make_unique<TWinComDevice>();
}

}  // namespace corvane::device
