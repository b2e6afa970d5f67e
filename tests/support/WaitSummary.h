#pragma once

// How long a window took to answer a series of pings sent from another
// process, in one line that every pinger prints alike.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace corvane::test {

// The waits in microseconds: "N calls, worst wait W ms, median M ms, 99th
// percentile P ms, K over 16 ms".
inline std::string WaitSummary(std::vector<long long> waits) {
    if (waits.empty()) waits.push_back(0);
    std::sort(waits.begin(), waits.end());
    const auto ms = [](long long us) { return static_cast<double>(us) / 1000; };
    const auto over = waits.end() - std::upper_bound(waits.begin(), waits.end(), 16000);
    char text[160];
    std::snprintf(text, sizeof text,
                  "%zu calls, worst wait %.1f ms, median %.1f ms, 99th percentile %.1f ms, %d "
                  "over 16 ms",
                  waits.size(), ms(waits.back()), ms(waits[waits.size() / 2]),
                  ms(waits[waits.size() * 99 / 100]), static_cast<int>(over));
    return text;
}

}  // namespace corvane::test
