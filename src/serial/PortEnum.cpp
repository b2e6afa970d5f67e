#include "PortEnum.h"

#include <algorithm>
#include <utility>

#include "CPort.h"
#include "DeviceMap.h"

namespace corvane {

namespace {

unsigned char FoldAscii(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

// Case-insensitive text order; names that differ only in letter case are
// ordered by their bytes, so that the same map always gives the same list.
bool PortNameLess(const std::string& a, const std::string& b) {
    const auto folded =
        std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                     [](char x, char y) { return FoldAscii(x) < FoldAscii(y); });
    if (folded) return true;
    const auto foldedReverse =
        std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                     [](char x, char y) { return FoldAscii(x) < FoldAscii(y); });
    if (foldedReverse) return false;
    return a < b;
}

}  // namespace

void ListSerialPorts(std::vector<std::string>& Ports) {
    std::vector<std::string> found;
    if (const int rc = device::ReadDeviceMap(found)) throw EComPort(errRegistry, rc);
    std::sort(found.begin(), found.end(), PortNameLess);
    Ports = std::move(found);
}

}  // namespace corvane
