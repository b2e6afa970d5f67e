// The system's list of serial ports on Windows: the values of the registry
// key HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, whose data are the
// port names (the value names are the drivers' device names, not used). The
// system makes the key only when a port driver starts, so a machine without
// serial ports has none: an absent key is an empty list.

#include <windows.h>

#include <mutex>

#include "DeviceMap.h"

namespace corvane::device {

namespace {

struct TKeyCloser {
    HKEY Key;
    ~TKeyCloser() { RegCloseKey(Key); }
};

std::mutex gMutex;
std::optional<std::vector<std::string>> gProcessMap;  // guarded by gMutex

}  // namespace

void SetProcessMap(std::optional<std::vector<std::string>> ports) {
    std::lock_guard lock(gMutex);
    gProcessMap = std::move(ports);
}

int ReadDeviceMap(std::vector<std::string>& ports) {
    {
        std::lock_guard lock(gMutex);
        if (gProcessMap) {
            ports = *gProcessMap;
            return 0;
        }
    }
    HKEY key = nullptr;
    LSTATUS rc =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        ports.clear();
        return 0;
    }
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    const TKeyCloser closer{key};
    std::vector<std::string> found;
    for (DWORD index = 0;; ++index) {
        char name[kMaxPortName];
        char data[kMaxPortName + 1] = {};  // room for a NUL after data that has none
        DWORD nameLength = sizeof name;
        DWORD dataLength = kMaxPortName;
        DWORD type = 0;
        rc = RegEnumValueA(key, index, name, &nameLength, nullptr, &type,
                           reinterpret_cast<BYTE*>(data), &dataLength);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        // A name or data that does not fit fails the whole listing.
        if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
        // Only a text names a port.
        if (type == REG_SZ) found.emplace_back(data);  // up to its terminating NUL
    }
    ports = std::move(found);
    return 0;
}

std::optional<int> ComparePortNames(const std::string& a, const std::string& b) {
    // CSTR_LESS_THAN, CSTR_EQUAL, CSTR_GREATER_THAN are 1, 2, 3; 0 is a failure.
    const int order =
        CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                       b.c_str(), static_cast<int>(b.size()));
    if (order == 0) return std::nullopt;
    return order - CSTR_EQUAL;
}

}  // namespace corvane::device
