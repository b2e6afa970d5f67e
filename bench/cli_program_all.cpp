// `corvane-cli program --all` against 4 and 8 virtual programmers paced at
// 9600 baud, and `corvane-cli program` against one of them alone, in the same
// run: the real program started as a child process, the boards (89C52) in
// this process, each announced in a device map of the bench's own (one map
// per board count). The time of each is from the start of the program to its
// end (the search included); the processor time is the program's own (user
// plus system, from wait4), divided by the boards. The goal: the boards at
// once take at most 1.05 times as long as one alone.
//
// bench_cli_program_all [bytes] [rounds]   (1,024 bytes, 3 rounds; medians)
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CliSpawn.h"
#include "DeviceMap.h"
#include "VirtualProgrammer.h"

namespace {

using namespace corvane;
using namespace corvane::bench;

constexpr double kGoal = 1.05;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned bytes = std::clamp(argc > 1 ? std::atoi(argv[1]) : 1024, 1, 8192);
    const unsigned rounds = std::max(argc > 2 ? std::atoi(argv[2]) : 3, 1);
    const std::filesystem::path dir = MakeBenchDir();
    if (dir.empty()) return 2;
    const std::string file = (dir / "image.hex").string();
    const std::vector<std::uint8_t> data = SavePattern(bytes, file);

    // Eight boards; the maps of 1, 4 and 8 hold the first of them.
    const std::vector<unsigned> counts{1, 4, 8};
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    for (unsigned i = 0; i < counts.back(); ++i) {
        sim::BoardOptions options;
        options.baud = 9600;
        options.chip = sim::ChipFromCode("52");
        boards.push_back(std::make_unique<sim::VirtualProgrammer>(options));
        boards.back()->Start();
        for (unsigned count : counts) {
            if (i >= count) continue;
            const auto map = dir / ("map" + std::to_string(count));
            std::filesystem::create_directories(map);
            device::AnnouncePort(map.string(), "b" + std::to_string(i), boards.back()->PortPath());
        }
    }

    std::printf(
        "corvane-cli program, %u bytes into 89C52 boards paced at 9600 baud, %u rounds "
        "(medians)\n",
        bytes, rounds);
    std::vector<std::vector<double>> seconds(counts.size());
    std::vector<std::vector<double>> cpu(counts.size());
    bool ok = true;
    for (unsigned r = 0; r < rounds; ++r) {
        for (std::size_t c = 0; c < counts.size(); ++c) {
            const unsigned count = counts[c];
            std::vector<std::string> args{"program", file};
            if (count > 1) args.insert(args.begin() + 1, "--all");
            // Blank chips: whatever the last run did, this one writes them.
            for (unsigned i = 0; i < count; ++i) boards[i]->InsertChip(sim::ChipFromCode("52"));
            const TTimes t = RunCli(args, dir / ("map" + std::to_string(count)), dir / "config",
                                    dir / "cli.log");
            for (unsigned i = 0; i < count; ++i) {
                const auto flash = boards[i]->Flash();
                if (!std::equal(data.begin(), data.end(), flash.begin())) {
                    std::printf("  board %u of %u was not programmed\n", i + 1, count);
                    ok = false;
                }
            }
            if (!t.Ok) {
                std::printf("  corvane-cli failed with %u boards (see %s)\n", count,
                            (dir / "cli.log").c_str());
                ok = false;
            }
            seconds[c].push_back(t.Seconds);
            cpu[c].push_back(t.CpuSeconds / count);
        }
    }

    const double alone = Median(seconds[0]);
    std::printf("  boards  command                 time      x alone   cpu a board\n");
    bool goal = true;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        const double time = Median(seconds[c]);
        const double ratio = time / alone;
        if (c > 0 && ratio > kGoal) goal = false;
        std::printf("  %6u  %-22s  %6.2f s   %6.3f    %6.1f ms\n", counts[c],
                    counts[c] > 1 ? "program --all FILE" : "program FILE", time, ratio,
                    Median(cpu[c]) * 1e3);
    }
    std::printf("  goal: at most %.2fx alone: %s\n", kGoal, goal ? "met" : "MISSED");
    if (ok) {
        std::error_code ignored;
        boards.clear();
        std::filesystem::remove_all(dir, ignored);
    }
    return ok ? 0 : 1;
}
