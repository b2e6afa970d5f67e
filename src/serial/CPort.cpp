#include "CPort.h"

#include <algorithm>
#include <utility>

#include "ComThread.h"
#include "StoreChanged.h"

namespace corvane {

namespace {

constexpr std::uint32_t kBaudRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                        14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

}  // namespace

std::uint32_t BaudRateValue(TBaudRate Rate) {
    return Rate < std::size(kBaudRates) ? kBaudRates[Rate] : 0;
}

void NewIoRequest(PIoRequest& Request) {
    Request = new IoRequest();
}

void FreeIoRequest(PIoRequest& Request) {
    delete Request;
    Request = nullptr;
}

// ---------------------------------------------------------------------------
// Construction and destruction

TCustomComPort::TCustomComPort(std::unique_ptr<IComDevice> device)
    : FDevice(device ? std::move(device) : device::MakeSystemComDevice()),
      FDispatcher(std::make_shared<TEventDispatcher>()) {
    FParity = std::make_unique<TComParity>(this);
    FFlowControl = std::make_unique<TComFlowControl>(this);
    FTimeouts = std::make_unique<TComTimeouts>(this);
    FBuffer = std::make_unique<TComBuffer>(this);
}

TCustomComPort::~TCustomComPort() {
    try {
        ClosePort();
    } catch (...) {
        // Nobody to pass it to. A handler that threw may have left the port
        // open: release it regardless.
    }
    StopMonitor();
    ReleaseDevice();
    FConnected = false;
    // Monitors stopped from inside a handler end on their own.
    for (auto& monitor : FRetiredMonitors) monitor->Join();
    FRetiredMonitors.clear();
    FBuffer.reset();
    FFlowControl.reset();
    FTimeouts.reset();
    FParity.reset();
}

void TCustomComPort::SetDispatcher(std::shared_ptr<TEventDispatcher> Value) {
    if (Value) FDispatcher = std::move(Value);
}

// ---------------------------------------------------------------------------
// Loading and design mode

void TCustomComPort::BeginLoading() {
    FLoading = true;
}

void TCustomComPort::EndLoading() {
    if (FLoading) Loaded();
}

void TCustomComPort::Loaded() {
    FLoading = false;
    if (FConnected && !FDesigning) {
        FConnected = false;
        try {
            OpenPort();
        } catch (...) {
            FDispatcher->ShowException(std::current_exception());
        }
    }
}

bool TCustomComPort::CanConfigure() const {
    return FConnected && !FLoading && !FDesigning;
}

// ---------------------------------------------------------------------------
// Property writes

void TCustomComPort::SetConnected(bool Value) {
    if (FLoading || FDesigning) {
        FConnected = Value;
        return;
    }
    if (Value == FConnected) return;
    if (Value) {
        OpenPort();
    } else {
        ClosePort();
    }
}

void TCustomComPort::SetPort(const std::string& Value) {
    if (Value == FPort) return;
    FPort = Value;
    if (FConnected && !FLoading && !FDesigning) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (Store(FBaudRate, Value)) ConfigureLine();
}
void TCustomComPort::SetCustomBaudRate(std::int32_t Value) {
    if (Store(FCustomBaudRate, Value)) ConfigureLine();
}
void TCustomComPort::SetDataBits(TDataBits Value) {
    if (Store(FDataBits, Value)) ConfigureLine();
}
void TCustomComPort::SetStopBits(TStopBits Value) {
    if (Store(FStopBits, Value)) ConfigureLine();
}
void TCustomComPort::SetDiscardNull(bool Value) {
    if (Store(FDiscardNull, Value)) ConfigureLine();
}
void TCustomComPort::SetEventChar(char Value) {
    if (Store(FEventChar, Value)) ConfigureLine();
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (Value == FSyncMethod) return;
    if (FConnected && !FLoading && !FDesigning) throw EComPort(errChangeWhileOpen);
    FSyncMethod = Value;
}

void TCustomComPort::SetParity(const TComParity& Value) {
    FParity->Assign(Value);
    ConfigureLine();
}
void TCustomComPort::SetFlowControl(const TComFlowControl& Value) {
    FFlowControl->Assign(Value);
    ConfigureLine();
}
void TCustomComPort::SetTimeouts(const TComTimeouts& Value) {
    FTimeouts->Assign(Value);
    ConfigureTimeouts();
}
void TCustomComPort::SetBuffer(const TComBuffer& Value) {
    FBuffer->Assign(Value);
    ConfigureBuffers();
}

// ---------------------------------------------------------------------------
// Configuration

device::TDcb TCustomComPort::BuildDcb() const {
    device::TDcb dcb;
    dcb.DCBlength = sizeof(device::TDcb);
    const auto limit = static_cast<std::uint16_t>(FBuffer->InputSize() / 4);
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.EvtChar = FEventChar;
    dcb.Flags = device::kDcbBinary;
    if (FDiscardNull) dcb.Flags |= device::kDcbNull;
    dcb.XonChar = FFlowControl->XonChar();
    dcb.XoffChar = FFlowControl->XoffChar();
    if (FFlowControl->OutCTSFlow()) dcb.Flags |= device::kDcbOutxCtsFlow;
    if (FFlowControl->OutDSRFlow()) dcb.Flags |= device::kDcbOutxDsrFlow;
    dcb.Flags |= static_cast<std::uint32_t>(FFlowControl->ControlDTR()) << 4;
    dcb.Flags |= static_cast<std::uint32_t>(FFlowControl->ControlRTS()) << 12;
    if (FFlowControl->XonXoffOut()) dcb.Flags |= device::kDcbOutX;
    if (FFlowControl->XonXoffIn()) dcb.Flags |= device::kDcbInX;
    if (FFlowControl->DSRSensitivity()) dcb.Flags |= device::kDcbDsrSensitivity;
    if (FFlowControl->TxContinueOnXoff()) dcb.Flags |= device::kDcbTXContinueOnXoff;
    dcb.Parity = FParity->Bits();
    dcb.StopBits = FStopBits;
    dcb.BaudRate = FBaudRate == brCustom ? static_cast<std::uint32_t>(FCustomBaudRate)
                                         : BaudRateValue(FBaudRate);
    dcb.ByteSize = static_cast<std::uint8_t>(5 + FDataBits);
    if (FParity->Check()) {
        dcb.Flags |= device::kDcbParity;
        if (FParity->Replace()) {
            dcb.Flags |= device::kDcbErrorChar;
            dcb.ErrorChar = FParity->ReplaceChar();
        }
    }
    return dcb;
}

device::TCommTimeouts TCustomComPort::BuildTimeouts() const {
    device::TCommTimeouts t;
    t.ReadIntervalTimeout = static_cast<std::uint32_t>(FTimeouts->ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts->ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts->ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts->WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts->WriteTotalConstant());
    return t;
}

void TCustomComPort::ConfigureLine() {
    if (!CanConfigure()) return;
    if (int err = FDevice->SetCommState(BuildDcb())) throw EComPort(errSetCommState, err);
}

void TCustomComPort::ConfigureTimeouts() {
    if (!CanConfigure()) return;
    if (int err = FDevice->SetCommTimeouts(BuildTimeouts())) {
        throw EComPort(errSetCommTimeouts, err);
    }
}

void TCustomComPort::ConfigureBuffers() {
    if (!CanConfigure()) return;
    if (int err = FDevice->SetupComm(static_cast<std::uint32_t>(FBuffer->InputSize()),
                                     static_cast<std::uint32_t>(FBuffer->OutputSize()))) {
        throw EComPort(errSetupComm, err);
    }
}

void TCustomComPort::ConfigureAll() {
    ConfigureBuffers();
    ConfigureLine();
    ConfigureTimeouts();
}

// ---------------------------------------------------------------------------
// Lifecycle

void TCustomComPort::AcquireDevice() {
    if (int err = FDevice->Open(device::DevicePath(FPort))) throw EComPort(errOpenPort, err);
}

void TCustomComPort::ReleaseDevice() {
    if (FDevice->IsOpen()) (void)FDevice->Close();
}

void TCustomComPort::OpenPort() {
    if (FConnected || FDesigning) return;
    HandleBeforeOpen();
    AcquireDevice();
    FConnected = true;
    FPendingErrors.store(0);
    try {
        ConfigureAll();
        if (FEvents.Empty()) {
            FMonitorRunning = false;
        } else {
            StartMonitor();
        }
    } catch (...) {
        ReleaseDevice();
        FConnected = false;
        throw;
    }
    HandleAfterOpen();
}

void TCustomComPort::StartMonitor() {
    ReapRetiredMonitors();
    if (FSyncMethod == smWindowSync) FEventWindow = std::make_shared<TEventWindow>(this);
    try {
        FMonitor = std::make_unique<TComThread>(*this);
    } catch (const std::system_error&) {
        // No thread could be made: the port is open all the same, and no
        // line event is delivered.
    } catch (...) {
        FEventWindow.reset();
        throw;
    }
    FMonitorRunning = true;
    if (FMonitor) FMonitor->Start();
}

void TCustomComPort::StopMonitor() {
    if (!FMonitorRunning) return;
    std::unique_ptr<TComThread> monitor = std::move(FMonitor);
    FMonitorRunning = false;
    // Closing from inside one of this port's own handlers: the monitor is
    // waiting for that handler to return (thread sync) or is this very
    // thread (no sync), so it cannot be waited for here. It is retired
    // instead and ends on its own once the handler returns.
    const bool fromHandler = FHandlerThread.load() == std::this_thread::get_id();
    bool cleanedUp = true;
    if (fromHandler && FEventWindow) FEventWindow->Port = nullptr;  // later messages are dropped
    if (monitor) {
        if (fromHandler) {
            monitor->Retire();
        } else {
            monitor->SignalStop();
        }
        // Window sync released the monitor before this handler ran: it may
        // be in the device, so it is waited for (it hands nothing more over).
        if (!fromHandler || FSyncMethod == smWindowSync) monitor->Join();
        cleanedUp = monitor->CleanedUp();
        if (!monitor->Finished()) FRetiredMonitors.push_back(std::move(monitor));
    }
    monitor.reset();
    // A monitor that was retired or had ended on its own did not clean up.
    if (!cleanedUp) {
        (void)FDevice->SetCommMask(0);
        (void)FDevice->PurgeComm(device::kPurgeTxClear | device::kPurgeRxClear);
    }
    if (FEventWindow) {
        FEventWindow->Port = nullptr;
        FEventWindow.reset();
    }
    ReapRetiredMonitors();
}

void TCustomComPort::ReapRetiredMonitors() {
    std::erase_if(FRetiredMonitors, [](const auto& monitor) { return monitor->Finished(); });
}

void TCustomComPort::AbortPending() {
    if (int err = FDevice->PurgeComm(device::kPurgeTxAbort | device::kPurgeRxAbort)) {
        throw EComPort(errPurgeComm, err);
    }
}

void TCustomComPort::ClosePort() {
    // A handler that runs while the port is being closed (the close serves
    // a pending hand-over) finds nothing to close.
    if (!FConnected || FDesigning || FClosing) return;
    struct TClosing {
        bool& Flag;
        explicit TClosing(bool& flag) : Flag(flag) { Flag = true; }
        ~TClosing() { Flag = false; }
    } closing(FClosing);
    HandleBeforeClose();
    // A device that has gone cannot abort its requests; the port is closed
    // all the same, and the failure is raised once it is.
    std::exception_ptr abortFailure;
    try {
        AbortPending();
    } catch (const EComPort&) {
        abortFailure = std::current_exception();
    }
    StopMonitor();
    ReleaseDevice();
    FConnected = false;
    HandleAfterClose();
    if (abortFailure) std::rethrow_exception(abortFailure);
}

// ---------------------------------------------------------------------------
// Transfer and line control

std::int32_t TCustomComPort::StartReadBytes(void* Buffer, std::int32_t Count, PIoRequest Request) {
    if (Request == nullptr) throw EComPort(errAsyncParam);
    Request->Kind = rkRead;
    device::TReadOp& op = Request->Overlapped;
    op.Buffer = Buffer;
    op.Count = static_cast<std::uint32_t>(std::max(Count, 0));
    if (int err = FDevice->StartRead(op)) throw EComPort(errReadFile, err);
    return op.Complete ? static_cast<std::int32_t>(op.Done) : 0;
}

std::int32_t TCustomComPort::StartReadText(std::string& Text, std::int32_t Count,
                                           PIoRequest Request) {
    Text.assign(static_cast<std::size_t>(std::max(Count, 0)), '\0');
    if (Count <= 0) return 0;
    return StartReadBytes(Text.data(), Count, Request);
}

std::int32_t TCustomComPort::AwaitRequest(PIoRequest Request) {
    if (Request == nullptr) throw EComPort(errAsyncParam);
    device::TReadOp& op = Request->Overlapped;
    if (!op.Issued) return 0;  // nothing issued: complete, with nothing transferred
    if (int err = FDevice->CompleteRead(op)) {
        throw EComPort(Request->Kind == rkRead ? errReadFile : errWriteFile, err);
    }
    if (Request->Kind == rkRead) (void)PendingInput();
    return static_cast<std::int32_t>(op.Done);
}

// A synchronous read lives and ends within the call: its request is a local
// one, nothing to allocate (the programmer's write pass reads byte by byte).
std::int32_t TCustomComPort::ReadBytes(void* Buffer, std::int32_t Count) {
    IoRequest request;
    StartReadBytes(Buffer, Count, &request);
    return AwaitRequest(&request);
}

std::int32_t TCustomComPort::ReadText(std::string& Text, std::int32_t Count) {
    IoRequest request;
    StartReadText(Text, Count, &request);
    const std::int32_t n = AwaitRequest(&request);
    Text.resize(static_cast<std::size_t>(n));
    return n;
}

std::int32_t TCustomComPort::PendingInput() {
    std::uint32_t errors = 0;
    device::TComStat stat;
    if (int err = FDevice->ClearCommErrorInQueue(errors, stat)) {
        throw EComPort(errClearCommError, err);
    }
    // The look clears the driver's error flags; what it found is kept until
    // LineErrors reports it (also to the error event that follows).
    if (errors != 0) FPendingErrors.fetch_or(errors);
    return static_cast<std::int32_t>(stat.cbInQue);
}

bool TCustomComPort::WaitForInput(std::int32_t TimeoutMs) {
    bool pending = false;
    if (int err = FDevice->WaitForInput(TimeoutMs, pending)) throw EComPort(errClearCommError, err);
    return pending;
}

void TCustomComPort::PurgeBuffers(bool Input, bool Output) {
    std::uint32_t flags = 0;
    if (Input) flags |= device::kPurgeRxClear;
    if (Output) flags |= device::kPurgeTxClear;
    if (int err = FDevice->PurgeComm(flags)) throw EComPort(errPurgeComm, err);
}

void TCustomComPort::SendChar(char Ch) {
    if (int err = FDevice->TransmitCommChar(Ch)) throw EComPort(errTransmitChar, err);
}

TLineSignals TCustomComPort::ModemSignals() {
    std::uint32_t status = 0;
    if (int err = FDevice->GetCommModemStatus(status)) throw EComPort(errModemStatus, err);
    TLineSignals signals;
    if ((status & device::kMsCtsOn) != 0) signals.Include(lsCTS);
    if ((status & device::kMsDsrOn) != 0) signals.Include(lsDSR);
    if ((status & device::kMsRingOn) != 0) signals.Include(lsRing);
    if ((status & device::kMsRlsdOn) != 0) signals.Include(lsRLSD);
    return signals;
}

TComErrors TCustomComPort::LineErrors() {
    std::uint32_t errors = 0;
    device::TComStat stat;
    if (int err = FDevice->ClearCommError(errors, stat)) throw EComPort(errClearCommError, err);
    errors |= FPendingErrors.exchange(0);
    TComErrors result;
    if ((errors & device::kCeFrame) != 0) result.Include(leFraming);
    if ((errors & device::kCeRxParity) != 0 && FParity->Check()) result.Include(leParity);
    if ((errors & device::kCeOverrun) != 0) result.Include(leOverrun);
    if ((errors & device::kCeBreak) != 0) result.Include(leBreak);
    if ((errors & device::kCeIoe) != 0) result.Include(leDeviceIO);
    if ((errors & device::kCeMode) != 0) result.Include(leMode);
    if ((errors & device::kCeRxOver) != 0) result.Include(leRxOverflow);
    if ((errors & device::kCeTxFull) != 0) result.Include(leTxFull);
    return result;
}

// ---------------------------------------------------------------------------
// Event handling

void TCustomComPort::HandleRxChar() {
    const std::int32_t count = PendingInput();
    if (count > 0) NotifyRxChar(count);
}
void TCustomComPort::HandleTxEmpty() {
    NotifyTxEmpty();
}
void TCustomComPort::HandleRxFlag() {
    NotifyRxFlag();
}
void TCustomComPort::HandleRing() {
    NotifyRing();
}
void TCustomComPort::HandleBreak() {
    NotifyBreak();
}
void TCustomComPort::HandleCTSChange() {
    NotifyCTSChange(ModemSignals().Contains(lsCTS));
}
void TCustomComPort::HandleDSRChange() {
    NotifyDSRChange(ModemSignals().Contains(lsDSR));
}
void TCustomComPort::HandleRLSDChange() {
    NotifyRLSDChange(ModemSignals().Contains(lsRLSD));
}
void TCustomComPort::HandleError() {
    const TComErrors errors = LineErrors();
    if (!errors.Empty()) NotifyError(errors);
}
void TCustomComPort::HandleRx80Full() {
    NotifyRx80Full();
}
void TCustomComPort::HandleBeforeOpen() {
    NotifyBeforeOpen();
}
void TCustomComPort::HandleAfterOpen() {
    NotifyAfterOpen();
    HandleCTSChange();
    HandleDSRChange();
    HandleRLSDChange();
}
void TCustomComPort::HandleBeforeClose() {
    NotifyCTSChange(false);
    NotifyDSRChange(false);
    NotifyRLSDChange(false);
    NotifyBeforeClose();
}
void TCustomComPort::HandleAfterClose() {
    NotifyAfterClose();
}

std::intptr_t TCustomComPort::HandlePortEventMessage(unsigned Msg, std::uintptr_t WParam,
                                                     std::intptr_t /*LParam*/) {
    // Nothing else is ever sent to the event window; the default handling
    // of any other message does nothing.
    if (Msg != WM_PORTEVENT) return 0;
    // The sender was released when the message was taken (the dispatcher's
    // SendMessage), so the monitor goes on while the handler runs here.
    const THandlerScope scope(*this);
    try {
        if (FConnected) {
            switch (WParam) {
                case device::kEvRxChar:
                    HandleRxChar();
                    break;
                case device::kEvRxFlag:
                    HandleRxFlag();
                    break;
                case device::kEvTxEmpty:
                    HandleTxEmpty();
                    break;
                case device::kEvCts:
                    HandleCTSChange();
                    break;
                case device::kEvDsr:
                    HandleDSRChange();
                    break;
                case device::kEvRlsd:
                    HandleRLSDChange();
                    break;
                case device::kEvBreak:
                    HandleBreak();
                    break;
                case device::kEvErr:
                    HandleError();
                    break;
                case device::kEvRing:
                    HandleRing();
                    break;
                case device::kEvRx80Full:
                    HandleRx80Full();
                    break;
                default:
                    break;
            }
        }
    } catch (...) {
        FDispatcher->ShowException(std::current_exception());
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Notifications

void TCustomComPort::NotifyAfterOpen() {
    if (OnAfterOpen) OnAfterOpen(*this);
}
void TCustomComPort::NotifyAfterClose() {
    if (OnAfterClose) OnAfterClose(*this);
}
void TCustomComPort::NotifyBeforeOpen() {
    if (OnBeforeOpen) OnBeforeOpen(*this);
}
void TCustomComPort::NotifyBeforeClose() {
    if (OnBeforeClose) OnBeforeClose(*this);
}
void TCustomComPort::NotifyRxChar(std::int32_t Count) {
    if (OnRxChar) OnRxChar(*this, Count);
}
void TCustomComPort::NotifyRxBuf(const void* Buffer, std::int32_t Count) {
    if (OnRxBuf) OnRxBuf(*this, Buffer, Count);
}
void TCustomComPort::NotifyTxEmpty() {
    if (OnTxEmpty) OnTxEmpty(*this);
}
void TCustomComPort::NotifyBreak() {
    if (OnBreak) OnBreak(*this);
}
void TCustomComPort::NotifyRing() {
    if (OnRing) OnRing(*this);
}
void TCustomComPort::NotifyCTSChange(bool OnOff) {
    if (OnCTSChange) OnCTSChange(*this, OnOff);
}
void TCustomComPort::NotifyDSRChange(bool OnOff) {
    if (OnDSRChange) OnDSRChange(*this, OnOff);
}
void TCustomComPort::NotifyRLSDChange(bool OnOff) {
    if (OnRLSDChange) OnRLSDChange(*this, OnOff);
}
void TCustomComPort::NotifyRxFlag() {
    if (OnRxFlag) OnRxFlag(*this);
}
void TCustomComPort::NotifyError(TComErrors Errors) {
    if (OnError) OnError(*this, Errors);
}
void TCustomComPort::NotifyRx80Full() {
    if (OnRx80Full) OnRx80Full(*this);
}

}  // namespace corvane
