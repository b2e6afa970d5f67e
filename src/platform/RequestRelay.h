#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "StopRequests.h"

namespace corvane::platform {

// Hands the requests to the handler of the moment; holds the first one that
// comes while there is none.
class TRequestRelay {
public:
    void SetHandler(TStopRequests::THandler handler) {
        std::lock_guard lock(FMutex);
        FHandler = std::move(handler);
        if (FHandler && FHeld) FHandler(*std::exchange(FHeld, std::nullopt));
    }
    // Called for each request (the requests' own thread).
    void Request(int exitStatus) {
        std::lock_guard lock(FMutex);
        if (FHandler) {
            FHandler(exitStatus);
        } else if (!FHeld) {
            FHeld = exitStatus;
        }
    }

private:
    std::mutex FMutex;
    TStopRequests::THandler FHandler;
    std::optional<int> FHeld;
};

}  // namespace corvane::platform
