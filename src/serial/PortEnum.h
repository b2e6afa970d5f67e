#pragma once

#include <string>
#include <vector>

namespace corvane {

// Fills Ports with the names of the serial ports that the system lists (the
// device map), sorted without regard to letter case and as text, so COM10
// comes before COM2. Nothing is cached: every call reads the map again.
//
// Raises EComPort errRegistry, with the system's error number, when the map
// cannot be read or one of its entries does not fit; Ports is then left as
// it was. On Windows a machine without serial ports has no registry key for
// them: that is no error but an empty list.
void ListSerialPorts(std::vector<std::string>& Ports);

}  // namespace corvane
