#pragma once

#include <chrono>
#include <thread>

namespace corvane::test {

// Waits until `condition` holds; false when it did not within `timeout`.
template <typename TCondition>
bool WaitFor(TCondition condition, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace corvane::test
