// The Qt window (offscreen) running a station of 4 virtual programmers
// (89C52) paced at 9600 baud, each given a fresh chip as soon as the station
// has seen the last one taken out, against `corvane-cli station` on the same
// boards the same way (a child process).
// - Chips per hour: all boards' chips over the time from the station's start
//   to its last log row. Goal: the window's at least 0.98 of the terminal's.
// - The GUI thread's longest stall while the station runs: the longest an
//   event posted to it every 5 ms (from a thread of its own) waited. Goal: at
//   most 16 ms.
//
// bench_window_station [bytes] [chips per board]   (2,048 bytes, 3 chips)
#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "CliSpawn.h"
#include "DeviceMap.h"
#include "StallProbe.h"
#include "UMain.h"
#include "VirtualProgrammer.h"

namespace {

using namespace corvane;
using namespace corvane::bench;
using namespace std::chrono_literals;
using TBoards = std::vector<std::unique_ptr<sim::VirtualProgrammer>>;

constexpr unsigned kBoards = 4;
constexpr double kRateGoal = 0.98;
constexpr double kStallGoalMs = 16;

unsigned RowsOf(const std::filesystem::path& log, const std::string& port) {
    std::string text;
    if (std::FILE* f = std::fopen(log.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
    }
    unsigned rows = 0;
    for (std::size_t at = 0; (at = text.find("," + port + ",", at)) != std::string::npos; ++at) {
        ++rows;
    }
    return rows;
}

template <typename TCondition>
bool WaitUntil(TCondition condition, std::chrono::seconds timeout = 120s) {
    const auto end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Every board's chips, each taken out once logged and a fresh one seated as
// soon as the station has seen the socket empty; the seconds from `start` to
// the last row, or a negative number when a chip was not logged.
double RunChips(TBoards& boards, const std::filesystem::path& log, unsigned chips,
                Clock::time_point start) {
    std::atomic<bool> ok = true;
    {
        std::vector<std::jthread> threads;
        for (auto& each : boards) {
            threads.emplace_back([&, board = each.get()] {
                for (unsigned c = 1; c <= chips && ok; ++c) {
                    if (!WaitUntil([&] { return RowsOf(log, board->PortPath()) >= c; })) {
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

}  // namespace

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    const unsigned bytes = std::clamp(argc > 1 ? std::atoi(argv[1]) : 2048, 1, 8192);
    const unsigned chips = std::max(argc > 2 ? std::atoi(argv[2]) : 3, 1);
    const std::filesystem::path dir = MakeBenchDir();
    if (dir.empty()) return 2;
    const std::string file = (dir / "image.hex").string();
    SavePattern(bytes, file);
    const auto map = dir / "map";
    std::filesystem::create_directories(map);
    std::filesystem::create_directories(dir / "config");
    TBoards boards;
    for (unsigned i = 0; i < kBoards; ++i) {
        sim::BoardOptions options;
        options.baud = 9600;
        options.chip = sim::ChipFromCode("52");
        boards.push_back(std::make_unique<sim::VirtualProgrammer>(options));
        boards.back()->Start();
        device::AnnouncePort(map.string(), "b" + std::to_string(i), boards.back()->PortPath());
    }

    // The terminal's station.
    const auto cliLog = dir / "cli.csv";
    const auto cliStart = Clock::now();
    const pid_t cli =
        SpawnCli({"station", file, "--log", cliLog.string()}, map, dir / "config", dir / "cli.out");
    const double cliSeconds = RunChips(boards, cliLog, chips, cliStart);
    kill(cli, SIGINT);
    WaitCli(cli, cliStart);

    // The window's, the chips seated afresh.
    for (auto& board : boards) {
        board->RemoveChip();
        board->SeatChip();
    }
    setenv("CORVANE_SERIALCOMM", map.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    const auto windowLog = dir / "window.csv";
    double windowSeconds = -1;
    double stallMs = 0;
    {
        TFrmMain form;
        form.show();
        test::TStallProbe probe(5ms);
        TStationCommand command =
            StationFromCommandLine({file, "--log", windowLog.string(), "--no-bell"});
        const auto windowStart = Clock::now();
        if (!command.Setup || !form.Station().Start(std::move(command.Setup), false).empty()) {
            std::printf("  the window's station did not start\n");
            return 1;
        }
        std::atomic<bool> done = false;
        std::jthread chipsThread([&] {
            windowSeconds = RunChips(boards, windowLog, chips, windowStart);
            done = true;
        });
        while (!done) QApplication::processEvents(QEventLoop::AllEvents, 20);
        probe.Stop();
        stallMs = probe.LongestMs();
        form.Station().StopClicked();
        while (form.Station().Running()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    }

    const double total = kBoards * chips;
    std::printf("station, %u bytes into %u 89C52 boards paced at 9600 baud, %u chips each\n", bytes,
                kBoards, chips);
    if (cliSeconds < 0 || windowSeconds < 0) {
        std::printf("  a chip was not logged (see %s)\n", dir.c_str());
        return 1;
    }
    const double cliRate = total * 3600 / cliSeconds;
    const double windowRate = total * 3600 / windowSeconds;
    std::printf("  corvane-cli station  %6.1f s   %6.0f chips per hour\n", cliSeconds, cliRate);
    std::printf(
        "  the window           %6.1f s   %6.0f chips per hour   (%.3f of the terminal's; "
        "goal at least %.2f: %s)\n",
        windowSeconds, windowRate, windowRate / cliRate, kRateGoal,
        windowRate / cliRate >= kRateGoal ? "met" : "MISSED");
    std::printf("  GUI thread's longest stall %.1f ms   (goal at most %.0f ms: %s)\n", stallMs,
                kStallGoalMs, stallMs <= kStallGoalMs ? "met" : "MISSED");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
