#include "ProgrammerPort.h"

#include <exception>

namespace corvane {

void ApplyProgrammerSettings(TComPort& port) {
    port.SetBaudRate(br9600);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
    port.SetEvents(TComEvents{evRxChar});
    port.Buffer().SetInputSize(4096);
    port.Buffer().SetOutputSize(4096);
    // XON and XOFF must arrive as data: the write handshake is made of them.
    TComFlowControl& flow = port.FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(dtrDisable);
    flow.SetControlRTS(rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
    // A one-byte read gives up after 100 x 1 + 1000 ms.
    port.Timeouts().SetReadTotalMultiplier(100);
    port.Timeouts().SetReadTotalConstant(1000);
}

std::unique_ptr<TComPort> MakeProgrammerPort() {
    auto port = std::make_unique<TComPort>();
    ApplyProgrammerSettings(*port);
    return port;
}

void ClosePortQuietly(TComPort& port, TLineTrace* trace) {
    if (trace && port.Connected()) trace->Note("close " + port.Port());
    try {
        port.ClosePort();
    } catch (const std::exception&) {
    }
}

}  // namespace corvane
