#include <windows.h>

#include "DeviceMap.h"
#include "PortMap.h"
#include "Win32.h"
#include "device/ComDevice.h"

namespace corvane::cli {

struct TSinglePortMap::TState {};

TSinglePortMap::TSinglePortMap(const std::string& port) {
    device::SetProcessMap(std::vector<std::string>{port});
}

TSinglePortMap::~TSinglePortMap() {
    device::SetProcessMap(std::nullopt);
}

std::string PortProblem(const std::string& port) {
    const std::string path = device::DevicePath(port);
    // The device's name without the prefix of the device namespace (\\.\).
    const std::string name = path.substr(4);
    char target[1024];
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) {
        return path + ": " + SystemErrorText(GetLastError());
    }
    return path + ": cannot be opened as a serial port (another program may hold it)";
}

}  // namespace corvane::cli
