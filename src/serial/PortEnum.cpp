#include "PortEnum.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "CPort.h"
#include "DeviceMap.h"

namespace corvane {

namespace {

// The system's order of names; names that it counts as equal, or cannot
// compare, are ordered by their bytes, so that the same map always gives the
// same list and the sort always has an order to go by.
bool PortNameLess(const std::string& a, const std::string& b) {
    const std::optional<int> order = device::ComparePortNames(a, b);
    return order && *order != 0 ? *order < 0 : a < b;
}

}  // namespace

void ListSerialPorts(std::vector<std::string>& Ports) {
    std::vector<std::string> found;
    if (const int rc = device::ReadDeviceMap(found)) throw EComPort(errRegistry, rc);
    std::sort(found.begin(), found.end(), PortNameLess);
    Ports = std::move(found);
}

}  // namespace corvane
