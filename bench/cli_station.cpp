// `corvane-cli station` against 4 virtual programmers (89C52) paced at 9600
// baud, each given a fresh chip as soon as the station has seen the last one
// taken out, against four `corvane-cli program --port` runs side by side, one
// per board, each board's runs one after another with a fresh chip before
// each. The real program runs as a child process, the boards in this
// process, announced in a device map of the bench's own.
// - Chips per hour: the chips of all boards over the time from the start of
//   the runs (the station's start) to the last chip's end (the last run's
//   end; the station's last log row). Goal: the station's at least the runs'
//   divided by 1.05.
// - Seating to erase: from SeatChip() to the board's receiving 'e', watched
//   every millisecond. Goal: at most one poll interval (200 ms) plus one
//   greeting (CR, banner, 'p' and its answer: 38 characters at 9600 baud).
//
// bench_cli_station [bytes] [chips per board]   (2,048 bytes, 3 chips)
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "StationBoards.h"

namespace {

using namespace corvane;
using namespace corvane::bench;
using namespace std::chrono_literals;

constexpr double kGoal = 1.05;
constexpr double kPollSeconds = 0.200;
constexpr int kGreetingCharacters = 38;

std::size_t Count(const std::vector<std::string>& log, const std::string& entry) {
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), entry));
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned bytes = std::clamp(argc > 1 ? std::atoi(argv[1]) : 2048, 1, 8192);
    const unsigned chips = std::max(argc > 2 ? std::atoi(argv[2]) : 3, 1);
    const std::filesystem::path dir = MakeBenchDir();
    if (dir.empty()) return 2;
    const std::string file = (dir / "image.hex").string();
    const std::vector<std::uint8_t> data = SavePattern(bytes, file);

    const auto map = dir / "map";
    std::filesystem::create_directories(map);
    TBoards boards = MakeStationBoards(map);
    auto programmed = [&](const sim::VirtualProgrammer& board) {
        const auto flash = board.Flash();
        return std::equal(data.begin(), data.end(), flash.begin());
    };
    bool ok = true;

    // Four `program --port` runs side by side, one after another per board.
    const auto runsStart = Clock::now();
    {
        std::vector<std::jthread> threads;
        for (unsigned i = 0; i < kStationBoards; ++i) {
            threads.emplace_back([&, i] {
                sim::VirtualProgrammer& board = *boards[i];
                const auto log = dir / ("program" + std::to_string(i) + ".log");
                for (unsigned c = 0; c < chips; ++c) {
                    board.SeatChip();
                    const TTimes t = RunCli({"program", "--port", board.PortPath(), file}, map,
                                            dir / "config", log);
                    if (!t.Ok || !programmed(board)) {
                        std::printf("  program --port %s failed (see %s)\n",
                                    board.PortPath().c_str(), log.c_str());
                        ok = false;
                    }
                }
            });
        }
    }
    const double runsSeconds = std::chrono::duration<double>(Clock::now() - runsStart).count();

    // The station, a fresh chip on each board as soon as the last is out.
    for (const auto& board : boards) board->SeatChip();
    const auto log = dir / "station.csv";
    const auto stationStart = Clock::now();
    const pid_t station = SpawnCli({"station", file, "--log", log.string()}, map, dir / "config",
                                   dir / "station.out");
    std::vector<double> latencies;
    std::mutex latencyMutex;
    {
        std::vector<std::jthread> threads;
        for (unsigned i = 0; i < kStationBoards; ++i) {
            threads.emplace_back([&, i] {
                sim::VirtualProgrammer& board = *boards[i];
                for (unsigned c = 1; c <= chips; ++c) {
                    if (!WaitUntil([&] { return RowsOf(log, board.PortPath()) >= c; }) ||
                        !programmed(board)) {
                        std::printf("  station: chip %u on %s was not programmed\n", c,
                                    board.PortPath().c_str());
                        ok = false;
                        return;
                    }
                    if (c == chips) return;
                    board.RemoveChip();
                    board.ClearCommandLog();
                    // Seen empty: a 'p' answered after the removal.
                    WaitUntil([&] { return Count(board.CommandLog(), "p") >= 2; });
                    board.ClearCommandLog();
                    board.SeatChip();
                    const auto seated = Clock::now();
                    WaitUntil([&] { return Count(board.CommandLog(), "e") >= 1; });
                    std::lock_guard lock(latencyMutex);
                    latencies.push_back(
                        std::chrono::duration<double>(Clock::now() - seated).count());
                }
            });
        }
    }
    const double stationSeconds =
        std::chrono::duration<double>(Clock::now() - stationStart).count();
    kill(station, SIGINT);
    const TTimes stationEnd = WaitCli(station, stationStart);
    if (!stationEnd.Ok) {
        std::printf("  the station failed (see %s)\n", (dir / "station.out").c_str());
        ok = false;
    }

    const double total = kStationBoards * chips;
    const double runsRate = total * 3600 / runsSeconds;
    const double stationRate = total * 3600 / stationSeconds;
    std::sort(latencies.begin(), latencies.end());
    const double greeting =
        kGreetingCharacters * std::chrono::duration<double>(sim::CharacterTime(9600)).count();
    const double latencyGoal = kPollSeconds + greeting;
    const double worst = latencies.empty() ? 0 : latencies.back();
    const double median = latencies.empty() ? 0 : latencies[latencies.size() / 2];
    std::printf(
        "corvane-cli station, %u bytes into %u 89C52 boards paced at 9600 baud, %u chips "
        "each\n",
        bytes, kStationBoards, chips);
    std::printf("  4 x program --port   %6.1f s   %6.0f chips per hour\n", runsSeconds, runsRate);
    std::printf(
        "  station              %6.1f s   %6.0f chips per hour   (runs / station %.3f; "
        "goal at most %.2f: %s)\n",
        stationSeconds, stationRate, runsRate / stationRate, kGoal,
        runsRate / stationRate <= kGoal ? "met" : "MISSED");
    std::printf(
        "  seating to erase     median %.0f ms, worst %.0f ms of %zu   (goal at most %.0f "
        "ms: %s)\n",
        median * 1e3, worst * 1e3, latencies.size(), latencyGoal * 1e3,
        worst <= latencyGoal ? "met" : "MISSED");
    std::printf("  station cpu          %.2f s\n", stationEnd.CpuSeconds);
    if (ok) {
        std::error_code ignored;
        boards.clear();
        std::filesystem::remove_all(dir, ignored);
    }
    return ok ? 0 : 1;
}
