#include "PortMap.h"

#include <stdlib.h>

#include <system_error>

#include "DeviceMap.h"

namespace corvane::cli {

TSinglePortMap::TSinglePortMap(const std::string& port) {
    if (int err = device::AnnouncePort(FDir.Path(), "port", port); err != 0) {
        throw std::system_error(err, std::generic_category(), "device map entry for " + port);
    }
    if (const char* old = std::getenv("CORVANE_SERIALCOMM")) {
        FHadOverride = true;
        FOldOverride = old;
    }
    setenv("CORVANE_SERIALCOMM", FDir.Path().c_str(), 1);
}

TSinglePortMap::~TSinglePortMap() {
    if (FHadOverride) {
        setenv("CORVANE_SERIALCOMM", FOldOverride.c_str(), 1);
    } else {
        unsetenv("CORVANE_SERIALCOMM");
    }
}

}  // namespace corvane::cli
