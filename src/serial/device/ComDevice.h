#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// The device layer under the serial port component: one small interface with
// the operations the component needs, each giving what the matching Windows
// communications call gives. Every operation returns 0 on success or the
// system error number on failure (errno here, the Win32 error number on
// Windows), which the component puts into its exception where the failing
// call is named.
//
// Each platform has its backend in a file of its own (ComDevice_posix.cpp,
// ComDevice_win.cpp); everything declared here is defined there.
namespace corvane::device {

// The line-settings record, laid out as the Windows DCB (28 bytes).
struct TDcb {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;  // fBinary ... fAbortOnError, see the k... constants
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;

    friend bool operator==(const TDcb&, const TDcb&) = default;
};
static_assert(sizeof(TDcb) == 28, "the line-settings record keeps the system's layout");

// Bits of TDcb::Flags.
inline constexpr std::uint32_t kDcbBinary = 0x0001;
inline constexpr std::uint32_t kDcbParity = 0x0002;
inline constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t kDcbDtrControlMask = 0x0030;  // 0x10 enable, 0x20 handshake
inline constexpr std::uint32_t kDcbDsrSensitivity = 0x0040;
inline constexpr std::uint32_t kDcbTXContinueOnXoff = 0x0080;
inline constexpr std::uint32_t kDcbOutX = 0x0100;
inline constexpr std::uint32_t kDcbInX = 0x0200;
inline constexpr std::uint32_t kDcbErrorChar = 0x0400;
inline constexpr std::uint32_t kDcbNull = 0x0800;
inline constexpr std::uint32_t kDcbRtsControlMask =
    0x3000;  // 0x1000 enable, 0x2000 handshake, 0x3000 toggle

// The time-outs record, laid out as COMMTIMEOUTS; 0xFFFFFFFF is MAXDWORD.
struct TCommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;

    friend bool operator==(const TCommTimeouts&, const TCommTimeouts&) = default;
};
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// Queue status, as COMSTAT gives the two counts.
struct TComStat {
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// Event-mask bits (EV_...).
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvRxFlag = 0x0002;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvBreak = 0x0040;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kEvRx80Full = 0x0400;

// Purge flags (PURGE_...).
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;

// Modem status bits (MS_..._ON).
inline constexpr std::uint32_t kMsCtsOn = 0x0010;
inline constexpr std::uint32_t kMsDsrOn = 0x0020;
inline constexpr std::uint32_t kMsRingOn = 0x0040;
inline constexpr std::uint32_t kMsRlsdOn = 0x0080;

// Line-error bits (CE_...).
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;
inline constexpr std::uint32_t kCeBreak = 0x0010;
inline constexpr std::uint32_t kCeTxFull = 0x0100;
inline constexpr std::uint32_t kCeIoe = 0x0400;
inline constexpr std::uint32_t kCeMode = 0x8000;

// A manual-reset event that an event wait watches beside the line: once set
// it stays set, and it wakes every wait that watches it at once.
class TStopSignal {
public:
    TStopSignal();
    ~TStopSignal();
    TStopSignal(const TStopSignal&) = delete;
    TStopSignal& operator=(const TStopSignal&) = delete;

    void Set();
    bool IsSet() const;
    // What a wait of this platform watches: a descriptor that turns readable
    // once set (POSIX), or an event object's handle (Windows).
    std::intptr_t Waitable() const { return FWaitable; }
    // The system error number when it could not be made (a wait could
    // never be woken by it), else 0.
    int Error() const { return FError; }

private:
    std::intptr_t FWaitable;
    int FError = 0;
    std::atomic<bool> FSet{false};
};

// What the component and the link act on in a device's error numbers.
enum class TErrorKind : std::uint8_t {
    Other,
    Busy,          // another program holds the port
    Absent,        // no such device
    NoPermission,  // this user may not open it
    Cancelled,     // an abort of outstanding requests ended the call
    Gone           // the device went away while open
};
TErrorKind ErrorKind(int error);

// One read, as the time-out rules see it. The device keeps the read's
// progress here from the moment it is issued until it completes; the bytes
// go straight into Buffer.
struct TReadOp {
    void* Buffer = nullptr;
    std::uint32_t Count = 0;
    std::uint32_t Done = 0;  // bytes transferred so far
    bool Issued = false;
    bool Complete = true;  // a read that was never issued counts as complete
    int Error = 0;         // errno of a read that ended in failure
    // Device bookkeeping: the time-outs in force when the read was issued,
    // and the backend's own record of the request (what an abort signals,
    // or the system's request block), kept until the read completes.
    TCommTimeouts Timeouts{};
    std::shared_ptr<void> DeviceState;
    std::chrono::steady_clock::time_point Start{};
    std::chrono::steady_clock::time_point LastByte{};
};

class IComDevice {
public:
    virtual ~IComDevice() = default;

    // Opens the device at `path` for exclusive use (CreateFile).
    virtual int Open(const std::string& path) = 0;
    virtual bool IsOpen() const = 0;
    // CloseHandle.
    virtual int Close() = 0;

    virtual int SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual int SetCommState(const TDcb& dcb) = 0;
    virtual int SetCommTimeouts(const TCommTimeouts& timeouts) = 0;
    virtual int SetCommMask(std::uint32_t mask) = 0;
    // Blocks until one of the watched events happens (mask filled), until
    // `stop` is set or outstanding waits are aborted (ECANCELED), or the
    // device fails.
    virtual int WaitCommEvent(std::uint32_t& mask, const TStopSignal& stop) = 0;
    virtual int PurgeComm(std::uint32_t flags) = 0;
    // Returns and clears the pending line errors (CE_... bits).
    virtual int ClearCommError(std::uint32_t& errors, TComStat& stat) = 0;
    // The same for a caller that needs only the input queue's count, as the
    // query after every read does: a device may leave stat.cbOutQue at 0
    // rather than ask for it.
    virtual int ClearCommErrorInQueue(std::uint32_t& errors, TComStat& stat) {
        return ClearCommError(errors, stat);
    }
    virtual int GetCommModemStatus(std::uint32_t& status) = 0;
    virtual int TransmitCommChar(char ch) = 0;

    // ReadFile: issues the read. It may complete at once (op.Complete, with
    // op.Done bytes); otherwise it is pending until CompleteRead.
    virtual int StartRead(TReadOp& op) = 0;
    // Waits until a pending read completes by the time-out rules (or at
    // once for one that has). Returns 0 or the error the read ended with.
    virtual int CompleteRead(TReadOp& op) = 0;

    // Blocks until input is queued or `timeoutMs` passes (0 or less only
    // looks); `pending` tells whether input is queued. No data is taken.
    virtual int WaitForInput(int timeoutMs, bool& pending) = 0;
};

// The backend for this system's serial ports.
std::unique_ptr<IComDevice> MakeSystemComDevice();

// The path under which the system opens a port: on POSIX an absolute path is
// used as it is and any other name is a device under /dev; on Windows a name
// is prefixed with \\.\ (COM12 opens \\.\COM12), unless it has it already.
std::string DevicePath(const std::string& portName);

}  // namespace corvane::device
