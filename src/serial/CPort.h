#pragma once

// The serial port component: TCustomComPort (published as TComPort), its
// settings objects, its exception and its event monitor.
//
// On this system's terminals (the POSIX device layer) every setting takes
// effect, some of them carried out by the port itself: DiscardNull, the
// event character (EV_RXFLAG as the bytes arrive) and, with parity checking,
// the error-replacement character work on the port's own input queue. What
// the line cannot honour at all:
//  - OutDSRFlow (no output flow control on DSR) and DSRSensitivity (bytes
//    are not dropped while DSR is off): the terminal driver has neither.
//  - ControlDTR dtrHandshake raises DTR and leaves it up; ControlRTS
//    rtsToggle raises RTS and leaves it up (no RTS while sending only).
//  - OutCTSFlow and rtsHandshake are one setting here: either turns on the
//    driver's CTS/RTS flow control in both directions.
//  - TxContinueOnXoff: output always goes on after the driver sent XOFF.
//  - XonLim, XoffLim and the output queue size: the driver's queues and
//    thresholds are its own (the input queue holds Buffer.InputSize bytes,
//    at least 4096, before the driver's own flow control holds the far end).
//  - sbOne5StopBits is sent as two stop bits (a 16550-type UART makes them
//    1.5 with five data bits).
//  - The replacement character replaces bytes received with a parity or a
//    framing error alike (the driver marks both the same way), and a break
//    while parity is checked reads as such a byte.
//  - The write time-outs: all output goes through SendChar, which queues
//    its byte at once.
//  - On a pseudo-terminal: no modem lines (they all read as off) and no line
//    errors.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EventDispatcher.h"
#include "Exception.h"
#include "device/ComDevice.h"

namespace corvane {

using device::IComDevice;

// ---------------------------------------------------------------------------
// Enumerations and sets

enum TBaudRate : std::uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : std::uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };
enum TLineSignal : std::uint8_t { lsCTS, lsDSR, lsRing, lsRLSD };
enum TComError : std::uint8_t {
    leFraming,
    leParity,
    leOverrun,
    leBreak,
    leDeviceIO,
    leMode,
    leRxOverflow,
    leTxFull
};
enum TStoredSetting : std::uint8_t {
    ssBasic,
    ssFlowControl,
    ssBuffer,
    ssTimeouts,
    ssParity,
    ssOthers
};
enum TRequestKind : std::uint8_t { rkWrite, rkRead };

// A set of enumeration members held as bits, member n at bit n.
template <typename E, typename TBits>
class TSet {
public:
    using Bits = TBits;
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members) {
        for (E m : members) Include(m);
    }
    static constexpr TSet FromBits(TBits bits) {
        TSet s;
        s.FBits = bits;
        return s;
    }
    constexpr TBits ToBits() const { return FBits; }
    constexpr bool Contains(E m) const { return ((FBits >> m) & 1u) != 0; }
    constexpr void Include(E m) { FBits = static_cast<TBits>(FBits | (1u << m)); }
    constexpr void Exclude(E m) { FBits = static_cast<TBits>(FBits & ~(1u << m)); }
    constexpr bool Empty() const { return FBits == 0; }
    friend constexpr bool operator==(TSet, TSet) = default;

private:
    TBits FBits = 0;
};

using TComEvents = TSet<TComEvent, std::uint16_t>;
using TLineSignals = TSet<TLineSignal, std::uint8_t>;
using TComErrors = TSet<TComError, std::uint8_t>;
using TStoredSettings = TSet<TStoredSetting, std::uint8_t>;

inline constexpr TComEvents kAllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                                          evCTS,    evDSR,     evError,  evRLSD, evRx80Full};

// The system's event mask for a set of events, and back (other mask bits are ignored).
std::uint32_t EventMaskFromEvents(TComEvents Events);
TComEvents EventsFromEventMask(std::uint32_t Mask);

// The rate in bits per second that a TBaudRate names (0 for brCustom).
std::uint32_t BaudRateValue(TBaudRate Rate);

// ---------------------------------------------------------------------------
// Errors

inline constexpr int errOpenPort = 1;
inline constexpr int errWriteFile = 2;
inline constexpr int errReadFile = 3;
inline constexpr int errAsyncParam = 4;
inline constexpr int errPurgeComm = 5;
inline constexpr int errAsyncStatus = 6;
inline constexpr int errSetCommState = 7;
inline constexpr int errSetCommTimeouts = 8;
inline constexpr int errSetupComm = 9;
inline constexpr int errClearCommError = 10;
inline constexpr int errModemStatus = 11;
inline constexpr int errEscapeComm = 12;
inline constexpr int errTransmitChar = 13;
inline constexpr int errChangeWhileOpen = 14;
inline constexpr int errEnumPorts = 15;
inline constexpr int errStoreSettings = 16;
inline constexpr int errLoadSettings = 17;
inline constexpr int errLinkRegistration = 18;
inline constexpr int errLedState = 19;
inline constexpr int errEventThreadActive = 20;
inline constexpr int errWaitForEvent = 21;
inline constexpr int errRxBufLinked = 22;
inline constexpr int errRegistry = 23;

// The fixed message of each error code, 1 to 23 (index 0 is empty).
extern const char* const PortErrorMessages[24];

class EComPort : public Exception {
public:
    // A failed system call: the message gets " (win error code: N)" appended.
    EComPort(int code, int systemErrorCode);
    // No system call involved: SystemErrorCode is -1, the message stands alone.
    explicit EComPort(int code);
    int ErrorCode() const { return FErrorCode; }
    int SystemErrorCode() const { return FSystemErrorCode; }

private:
    int FSystemErrorCode;
    int FErrorCode;
};

// A settings object copied from an object of another class.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// ---------------------------------------------------------------------------
// Settings objects

class TCustomComPort;

// The common base of the settings objects: plain value holders that can be
// copied from one another with Assign.
class TPersistent {
public:
    virtual ~TPersistent() = default;
    // Copies every value field from an object of the same class, without
    // checks and without configuring anything; any other class raises
    // EConvertError and nothing is copied.
    virtual void Assign(const TPersistent& Source);
    virtual const char* ClassName() const = 0;

protected:
    TPersistent() = default;
    TPersistent(const TPersistent&) = default;
    TPersistent& operator=(const TPersistent&) = default;
};
using TPersistentLike = TPersistent;

// A settings object keeps a pointer to its owning component (none for a
// free-standing object); a write of a changed value on an owned object runs
// the owner's configure operation. Copies are free-standing.
class TComParity : public TPersistent {
public:
    explicit TComParity(TCustomComPort* Owner = nullptr) : FComPort(Owner) {}
    TComParity(const TComParity& Other) : TPersistent(), FComPort(nullptr) { CopyValues(Other); }
    TComParity& operator=(const TComParity& Other) {
        CopyValues(Other);
        return *this;
    }
    void Assign(const TPersistent& Source) override;
    const char* ClassName() const override { return "TComParity"; }
    TCustomComPort* ComPort() const { return FComPort; }

    TParityBits Bits() const { return FBits; }
    bool Check() const { return FCheck; }
    bool Replace() const { return FReplace; }
    char ReplaceChar() const { return FReplaceChar; }
    void SetBits(TParityBits Value);
    void SetCheck(bool Value);
    void SetReplace(bool Value);
    void SetReplaceChar(char Value);

private:
    void CopyValues(const TComParity& Other);
    void Changed();
    TCustomComPort* FComPort;
    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

class TComFlowControl : public TPersistent {
public:
    explicit TComFlowControl(TCustomComPort* Owner = nullptr) : FComPort(Owner) {}
    TComFlowControl(const TComFlowControl& Other) : TPersistent(), FComPort(nullptr) {
        CopyValues(Other);
    }
    TComFlowControl& operator=(const TComFlowControl& Other) {
        CopyValues(Other);
        return *this;
    }
    void Assign(const TPersistent& Source) override;
    const char* ClassName() const override { return "TComFlowControl"; }
    TCustomComPort* ComPort() const { return FComPort; }

    // The summary of ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut.
    TFlowControl FlowControl() const;
    // Sets the four summary fields for a value other than fcCustom; always
    // reconfigures the owner.
    void SetFlowControl(TFlowControl Value);

    bool OutCTSFlow() const { return FOutCTSFlow; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    char XonChar() const { return FXonChar; }
    char XoffChar() const { return FXoffChar; }
    void SetOutCTSFlow(bool Value);
    void SetOutDSRFlow(bool Value);
    void SetControlDTR(TDTRFlowControl Value);
    void SetControlRTS(TRTSFlowControl Value);
    void SetXonXoffOut(bool Value);
    void SetXonXoffIn(bool Value);
    void SetDSRSensitivity(bool Value);
    void SetTxContinueOnXoff(bool Value);
    void SetXonChar(char Value);
    void SetXoffChar(char Value);

private:
    void CopyValues(const TComFlowControl& Other);
    void Changed();
    TCustomComPort* FComPort;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

class TComTimeouts : public TPersistent {
public:
    explicit TComTimeouts(TCustomComPort* Owner = nullptr) : FComPort(Owner) {}
    TComTimeouts(const TComTimeouts& Other) : TPersistent(), FComPort(nullptr) {
        CopyValues(Other);
    }
    TComTimeouts& operator=(const TComTimeouts& Other) {
        CopyValues(Other);
        return *this;
    }
    void Assign(const TPersistent& Source) override;
    const char* ClassName() const override { return "TComTimeouts"; }
    TCustomComPort* ComPort() const { return FComPort; }

    std::int32_t ReadInterval() const { return FReadInterval; }
    std::int32_t ReadTotalMultiplier() const { return FReadTotalMultiplier; }
    std::int32_t ReadTotalConstant() const { return FReadTotalConstant; }
    std::int32_t WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
    std::int32_t WriteTotalConstant() const { return FWriteTotalConstant; }
    void SetReadInterval(std::int32_t Value);
    void SetReadTotalMultiplier(std::int32_t Value);
    void SetReadTotalConstant(std::int32_t Value);
    void SetWriteTotalMultiplier(std::int32_t Value);
    void SetWriteTotalConstant(std::int32_t Value);

private:
    void CopyValues(const TComTimeouts& Other);
    void Changed();
    TCustomComPort* FComPort;
    std::int32_t FReadInterval = -1;
    std::int32_t FReadTotalMultiplier = 0;
    std::int32_t FReadTotalConstant = 0;
    std::int32_t FWriteTotalMultiplier = 100;
    std::int32_t FWriteTotalConstant = 1000;
};

class TComBuffer : public TPersistent {
public:
    explicit TComBuffer(TCustomComPort* Owner = nullptr) : FComPort(Owner) {}
    TComBuffer(const TComBuffer& Other) : TPersistent(), FComPort(nullptr) { CopyValues(Other); }
    TComBuffer& operator=(const TComBuffer& Other) {
        CopyValues(Other);
        return *this;
    }
    void Assign(const TPersistent& Source) override;
    const char* ClassName() const override { return "TComBuffer"; }
    TCustomComPort* ComPort() const { return FComPort; }

    std::int32_t InputSize() const { return FInputSize; }
    std::int32_t OutputSize() const { return FOutputSize; }
    // Odd positive sizes are made even (one less).
    void SetInputSize(std::int32_t Value);
    void SetOutputSize(std::int32_t Value);

private:
    void CopyValues(const TComBuffer& Other);
    void Changed();
    TCustomComPort* FComPort;
    std::int32_t FInputSize = 1024;
    std::int32_t FOutputSize = 1024;
};

// ---------------------------------------------------------------------------
// Asynchronous requests

// One asynchronous read. The device's progress record comes first, as the
// overlapped block does; a request on which nothing was issued counts as
// complete with 0 bytes and as not being a read.
struct IoRequest {
    device::TReadOp Overlapped;
    TRequestKind Kind = rkWrite;
    std::unique_ptr<char[]> Data;  // a private copy of written data (none for reads)
    std::int32_t DataSize = 0;
};
using PIoRequest = IoRequest*;

void NewIoRequest(PIoRequest& Request);
void FreeIoRequest(PIoRequest& Request);

// ---------------------------------------------------------------------------
// The component

class TRegistryAccess;  // SettingsStore.h
class TIniAccess;       // SettingsStore.h
class TComThread;       // ComThread.h
class TEventWindow;

inline constexpr unsigned WM_PORTEVENT = 1025;

using TNotifyEvent = std::function<void(TCustomComPort& Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort& Sender, std::int32_t Count)>;
using TRxBufEvent =
    std::function<void(TCustomComPort& Sender, const void* Buffer, std::int32_t Count)>;
using TComSignalEvent = std::function<void(TCustomComPort& Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TCustomComPort& Sender, TComErrors Errors)>;

class TCustomComPort {
public:
    // nullptr means the device backend of this system.
    explicit TCustomComPort(std::unique_ptr<IComDevice> device = nullptr);
    // Closes the port (notifications included); a failure of that close
    // cannot be passed on and is dropped, the port is released regardless.
    // A handler may close its port but not destroy it: destruction waits
    // for the monitor, which waits for the handler.
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // The component's name; the INI section of the settings storage.
    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }

    // Settings storage (PortStorage.cpp).
    virtual void WriteSettingsToRegistry(TRegistryAccess& Reg);
    virtual void WriteSettingsToIni(TIniAccess& Ini);
    virtual void ReadSettingsFromRegistry(TRegistryAccess& Reg);
    virtual void ReadSettingsFromIni(TIniAccess& Ini);

    // Loading from a stored description: between BeginLoading and
    // EndLoading writes of Connected are only recorded, configure operations
    // do nothing and Port is only stored; EndLoading runs the after-loading
    // step (which opens the port when Connected was restored true; a failure
    // goes to the dispatcher's exception display).
    void BeginLoading();
    void EndLoading();
    bool Loading() const { return FLoading; }
    // Design mode (hosted in a form designer): nothing reaches a device.
    void SetDesigning(bool Value) { FDesigning = Value; }
    bool Designing() const { return FDesigning; }

    // Properties.
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value);
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value);
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    std::int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(std::int32_t Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool Value);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char Value);
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents Value) { FEvents = Value; }
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    // Raises errChangeWhileOpen for a different value while the port is open.
    void SetSyncMethod(TSyncMethod Value);
    TComParity& Parity() { return *FParity; }
    const TComParity& Parity() const { return *FParity; }
    void SetParity(const TComParity& Value);
    TComFlowControl& FlowControl() { return *FFlowControl; }
    const TComFlowControl& FlowControl() const { return *FFlowControl; }
    void SetFlowControl(const TComFlowControl& Value);
    TComTimeouts& Timeouts() { return *FTimeouts; }
    const TComTimeouts& Timeouts() const { return *FTimeouts; }
    void SetTimeouts(const TComTimeouts& Value);
    TComBuffer& Buffer() { return *FBuffer; }
    const TComBuffer& Buffer() const { return *FBuffer; }
    void SetBuffer(const TComBuffer& Value);
    TStoredSettings StoredSettings() const { return FStoredSettings; }
    void SetStoredSettings(TStoredSettings Value) { FStoredSettings = Value; }

    // The dispatcher through which the monitor hands events to the owner
    // thread (smThreadSync, smWindowSync). Each component starts with a
    // dispatcher of its own; a front end gives all its ports its own one.
    // Change it only while the port is closed.
    const std::shared_ptr<TEventDispatcher>& Dispatcher() const { return FDispatcher; }
    void SetDispatcher(std::shared_ptr<TEventDispatcher> Value);

    // The device behind the port (PortHandle).
    IComDevice& Device() { return *FDevice; }
    bool MonitorRunning() const { return FMonitorRunning; }
    TComThread* Monitor() const { return FMonitor.get(); }

    // Lifecycle.
    void OpenPort();
    void ClosePort();

    // Transfer and line control.
    std::int32_t ReadBytes(void* Buffer, std::int32_t Count);
    std::int32_t ReadText(std::string& Text, std::int32_t Count);
    std::int32_t StartReadBytes(void* Buffer, std::int32_t Count, PIoRequest Request);
    std::int32_t StartReadText(std::string& Text, std::int32_t Count, PIoRequest Request);
    std::int32_t AwaitRequest(PIoRequest Request);
    std::int32_t PendingInput();
    // Blocks until input is queued or TimeoutMs passes (0 or less only
    // looks); returns whether input is queued. Takes no data. A device
    // failure raises errClearCommError.
    bool WaitForInput(std::int32_t TimeoutMs);
    void PurgeBuffers(bool Input, bool Output);
    void SendChar(char Ch);
    TLineSignals ModemSignals();
    TComErrors LineErrors();

    // The window procedure of the hidden event window (smWindowSync).
    std::intptr_t HandlePortEventMessage(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam);

    // Handlers, in declaration order; each is raised through its Notify...
    // operation. With smNone they run on the monitor thread.
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;  // never raised
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TComErrorEvent OnError;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TNotifyEvent OnRx80Full;

    // Configure operations: push the settings to the open device.
    virtual void ConfigureLine();
    virtual void ConfigureTimeouts();
    virtual void ConfigureBuffers();

    // The records the configure operations hand to the device.
    device::TDcb BuildDcb() const;
    device::TCommTimeouts BuildTimeouts() const;

    // Event handling routines: take the readings an event needs, then notify.
    void HandleRxChar();
    void HandleTxEmpty();
    void HandleRxFlag();
    void HandleRing();
    void HandleBreak();
    void HandleCTSChange();
    void HandleDSRChange();
    void HandleRLSDChange();
    void HandleError();
    void HandleRx80Full();
    void HandleBeforeOpen();
    void HandleAfterOpen();
    void HandleBeforeClose();
    void HandleAfterClose();

protected:
    virtual void AcquireDevice();
    virtual void ReleaseDevice();
    virtual void ConfigureAll();
    // The after-loading step.
    virtual void Loaded();

    // One per published event; each calls its handler when assigned.
    virtual void NotifyAfterOpen();
    virtual void NotifyAfterClose();
    virtual void NotifyBeforeOpen();
    virtual void NotifyBeforeClose();
    virtual void NotifyRxChar(std::int32_t Count);
    virtual void NotifyRxBuf(const void* Buffer, std::int32_t Count);
    virtual void NotifyTxEmpty();
    virtual void NotifyBreak();
    virtual void NotifyRing();
    virtual void NotifyCTSChange(bool OnOff);
    virtual void NotifyDSRChange(bool OnOff);
    virtual void NotifyRLSDChange(bool OnOff);
    virtual void NotifyRxFlag();
    virtual void NotifyError(TComErrors Errors);
    virtual void NotifyRx80Full();

private:
    friend class TComThread;
    // Marks the calling thread as running one of this port's event handlers
    // (a hand-over of its monitor, or an event-window message) while it lives.
    class THandlerScope {
    public:
        explicit THandlerScope(TCustomComPort& Port)
            : FPort(Port), FOuter(Port.FHandlerThread.exchange(std::this_thread::get_id())) {}
        ~THandlerScope() { FPort.FHandlerThread.store(FOuter); }
        THandlerScope(const THandlerScope&) = delete;
        THandlerScope& operator=(const THandlerScope&) = delete;

    private:
        TCustomComPort& FPort;
        std::thread::id FOuter;
    };
    bool CanConfigure() const;
    void AbortPending();
    void StartMonitor();
    void StopMonitor();
    void ReapRetiredMonitors();

    // Monitor state.
    std::unique_ptr<TComThread> FMonitor;
    bool FMonitorRunning = false;
    // Monitors stopped from inside their own hand-over, until they have ended.
    std::vector<std::unique_ptr<TComThread>> FRetiredMonitors;
    // The thread running one of this port's handlers, if one is.
    std::atomic<std::thread::id> FHandlerThread{};
    bool FClosing = false;
    // Line errors that a look at the input queue found, kept for LineErrors.
    std::atomic<std::uint32_t> FPendingErrors{0};
    std::unique_ptr<IComDevice> FDevice;  // PortHandle
    std::shared_ptr<TEventWindow> FEventWindow;
    std::shared_ptr<TEventDispatcher> FDispatcher;

    // Settings, in declaration order.
    bool FConnected = false;
    TBaudRate FBaudRate = br9600;
    std::int32_t FCustomBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = kAllComEvents;
    std::unique_ptr<TComBuffer> FBuffer;
    std::unique_ptr<TComParity> FParity;
    std::unique_ptr<TComTimeouts> FTimeouts;
    std::unique_ptr<TComFlowControl> FFlowControl;
    TSyncMethod FSyncMethod = smThreadSync;
    TStoredSettings FStoredSettings{ssBasic};

    std::string FName = "ComPort";
    bool FLoading = false;
    bool FDesigning = false;
};

class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

}  // namespace corvane

#if __has_include("PortEnum.h")
#include "PortEnum.h"
#endif
