// The device layer on Windows: the serial port component's calls go to the
// Win32 communications functions they are named after.

#include <windows.h>

#include <string>

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

}  // namespace corvane::device
