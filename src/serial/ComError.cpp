#include <string>

#include "CPort.h"

namespace corvane {

const char* const PortErrorMessages[24] = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

namespace {

std::string MessageText(int code) {
    if (code < 1 || code > 23) return std::string();
    return PortErrorMessages[code];
}

}  // namespace

EComPort::EComPort(int code, int systemErrorCode)
    : Exception(MessageText(code) + " (win error code: " + std::to_string(systemErrorCode) + ")"),
      FSystemErrorCode(systemErrorCode),
      FErrorCode(code) {}

EComPort::EComPort(int code)
    : Exception(MessageText(code)), FSystemErrorCode(-1), FErrorCode(code) {}

}  // namespace corvane
