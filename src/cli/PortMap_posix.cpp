#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "DeviceMap.h"
#include "PortMap.h"
#include "ScratchDir.h"

namespace corvane::cli {

struct TSinglePortMap::TState {
    TScratchDir Dir;
    bool HadOverride = false;
    std::string OldOverride;
};

TSinglePortMap::TSinglePortMap(const std::string& port) : FState(std::make_unique<TState>()) {
    const std::string& dir = FState->Dir.Path();
    if (int err = device::AnnouncePort(dir, "port", port); err != 0) {
        throw std::system_error(err, std::generic_category(), "device map entry for " + port);
    }
    if (const char* old = std::getenv("CORVANE_SERIALCOMM")) {
        FState->HadOverride = true;
        FState->OldOverride = old;
    }
    setenv("CORVANE_SERIALCOMM", dir.c_str(), 1);
}

TSinglePortMap::~TSinglePortMap() {
    if (FState->HadOverride) {
        setenv("CORVANE_SERIALCOMM", FState->OldOverride.c_str(), 1);
    } else {
        unsetenv("CORVANE_SERIALCOMM");
    }
}

std::string PortProblem(const std::string& port) {
    // A port name that is not a path names a device under /dev.
    const std::string path = !port.empty() && port[0] == '/' ? port : "/dev/" + port;
    struct stat st {};
    const std::string why =
        stat(path.c_str(), &st) != 0 ? std::strerror(errno) : "cannot be opened as a serial port";
    return path + ": " + why;
}

}  // namespace corvane::cli
