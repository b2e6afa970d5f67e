#pragma once

#include <memory>
#include <string>

namespace corvane::cli {

// The port that the user named (--port) as the only port that the link's
// scan greets, while it lives; the system's list again when it goes. One
// source per system:
// - Linux (PortMap_posix.cpp): a device map of one entry, private to this
//   process: CORVANE_SERIALCOMM names a scratch directory whose only entry
//   points at `port` (the variable is put back when it goes).
// - Windows (PortMap_win.cpp): the process's port list is `port` as it is
//   (COM7, \\.\COM12) instead of the registry's.
class TSinglePortMap {
public:
    // Raises an exception that says why when the map cannot be made.
    explicit TSinglePortMap(const std::string& port);
    ~TSinglePortMap();
    TSinglePortMap(const TSinglePortMap&) = delete;
    TSinglePortMap& operator=(const TSinglePortMap&) = delete;

private:
    struct TState;
    std::unique_ptr<TState> FState;
};

// Why the port that the user named was not opened, for when the scan could
// open none: "PATH: why".
std::string PortProblem(const std::string& port);

}  // namespace corvane::cli
