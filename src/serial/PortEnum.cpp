#include "PortEnum.h"

#include <algorithm>
#include <utility>

#include "CPort.h"
#include "DeviceMap.h"
#include "SettingsText.h"

namespace corvane {

namespace {

// Case-insensitive text order; names that differ only in letter case are
// ordered by their bytes, so that the same map always gives the same list.
bool PortNameLess(const std::string& a, const std::string& b) {
    const int folded = CompareText(a, b);
    return folded != 0 ? folded < 0 : a < b;
}

}  // namespace

void ListSerialPorts(std::vector<std::string>& Ports) {
    std::vector<std::string> found;
    if (const int rc = device::ReadDeviceMap(found)) throw EComPort(errRegistry, rc);
    std::sort(found.begin(), found.end(), PortNameLess);
    Ports = std::move(found);
}

}  // namespace corvane
