#include "PortEnum.h"

#include <algorithm>
#include <utility>

#include "CPort.h"
#include "DeviceMap.h"

namespace corvane {

namespace {

// The system's order of names; names that it counts as equal are ordered by
// their bytes, so that the same map always gives the same list.
bool PortNameLess(const std::string& a, const std::string& b) {
    const int order = device::ComparePortNames(a, b);
    return order != 0 ? order < 0 : a < b;
}

}  // namespace

void ListSerialPorts(std::vector<std::string>& Ports) {
    std::vector<std::string> found;
    if (const int rc = device::ReadDeviceMap(found)) throw EComPort(errRegistry, rc);
    std::sort(found.begin(), found.end(), PortNameLess);
    Ports = std::move(found);
}

}  // namespace corvane
