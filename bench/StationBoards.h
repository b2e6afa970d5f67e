#pragma once

// What the station benchmarks share: four virtual 89C52 boards paced at 9600
// baud in the benchmark's process, the log's rows of a board, and the chips
// swapped as an operator swaps them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CliSpawn.h"
#include "DeviceMap.h"
#include "VirtualProgrammer.h"

namespace corvane::bench {

using TBoards = std::vector<std::unique_ptr<sim::VirtualProgrammer>>;

constexpr unsigned kStationBoards = 4;

inline std::string ReadAll(const std::filesystem::path& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// The log's rows of the board whose port the log names `port`.
inline unsigned RowsOf(const std::filesystem::path& log, const std::string& port) {
    const std::string text = ReadAll(log);
    unsigned rows = 0;
    for (std::size_t at = 0; (at = text.find("," + port + ",", at)) != std::string::npos; ++at) {
        ++rows;
    }
    return rows;
}

template <typename TCondition>
bool WaitUntil(TCondition condition, std::chrono::seconds timeout = std::chrono::seconds(120)) {
    const auto end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The four boards, started, each with an 89C52 seated; announced in the
// device map `map` when it is given.
inline TBoards MakeStationBoards(const std::filesystem::path& map = {}) {
    TBoards boards;
    for (unsigned i = 0; i < kStationBoards; ++i) {
        sim::BoardOptions options;
        options.baud = 9600;
        options.chip = sim::ChipFromCode("52");
        boards.push_back(std::make_unique<sim::VirtualProgrammer>(options));
        boards.back()->Start();
        if (!map.empty()) {
            device::AnnouncePort(map.string(), "b" + std::to_string(i), boards.back()->PortPath());
        }
    }
    return boards;
}

// Every board's chips, each taken out once logged and a fresh one seated as
// soon as the station has seen the socket empty (a 'p' answered after the
// removal); `port(i)`: board i's port as the log names it. The seconds from
// `start` to the last row, or a negative number when a chip was not logged.
inline double RunChips(TBoards& boards, const std::function<std::string(std::size_t)>& port,
                       const std::filesystem::path& log, unsigned chips, Clock::time_point start) {
    std::atomic<bool> ok = true;
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < boards.size(); ++i) {
            threads.emplace_back([&, i, board = boards[i].get()] {
                for (unsigned c = 1; c <= chips && ok; ++c) {
                    if (!WaitUntil([&] { return RowsOf(log, port(i)) >= c; })) {
                        ok = false;
                        return;
                    }
                    if (c == chips) return;
                    board->RemoveChip();
                    board->ClearCommandLog();
                    WaitUntil([&] {
                        const auto commands = board->CommandLog();
                        return std::count(commands.begin(), commands.end(), "p") >= 2;
                    });
                    board->SeatChip();
                }
            });
        }
    }
    return ok ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
}

// The terminal's station against the window's: `chips` chips in each run's
// seconds, and the window's chips per hour against the goal.
inline void PrintRates(const char* terminal, double terminalSeconds, double windowSeconds,
                       unsigned chips) {
    constexpr double kRateGoal = 0.98;
    const double terminalRate = chips * 3600 / terminalSeconds;
    const double windowRate = chips * 3600 / windowSeconds;
    std::printf("  %-24s %6.1f s   %6.0f chips per hour\n", terminal, terminalSeconds,
                terminalRate);
    std::printf(
        "  %-24s %6.1f s   %6.0f chips per hour   (%.3f of the terminal's; goal at least %.2f: "
        "%s)\n",
        "the window", windowSeconds, windowRate, windowRate / terminalRate, kRateGoal,
        windowRate / terminalRate >= kRateGoal ? "met" : "MISSED");
}

}  // namespace corvane::bench
