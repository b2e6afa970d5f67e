#pragma once

#include <string>

#include "ScratchDir.h"

namespace corvane::cli {

// A device map of one entry, private to this process: while it lives,
// CORVANE_SERIALCOMM names a scratch directory whose only entry points at
// `port`, so the link's scan greets that port and no other. Removed (and the
// variable put back) when it goes.
class TSinglePortMap {
public:
    // Raises std::system_error when the directory or the entry cannot be made.
    explicit TSinglePortMap(const std::string& port);
    ~TSinglePortMap();
    TSinglePortMap(const TSinglePortMap&) = delete;
    TSinglePortMap& operator=(const TSinglePortMap&) = delete;

    const std::string& Dir() const { return FDir.Path(); }

private:
    TScratchDir FDir;
    bool FHadOverride = false;
    std::string FOldOverride;
};

}  // namespace corvane::cli
