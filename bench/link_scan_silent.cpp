// What silent ports in front of the programmer cost the search. The system's
// list holds N ports that never answer (virtual programmers told to be
// silent), then the programmer (a virtual 89C52 paced at 9600 baud). Each
// round is one poll of a fresh link: from reading the list to the chip
// identified, the silent ports closed again.
//
// bench_link_scan_silent [rounds] [silent-ports ...]   (5 rounds; 0 1 4 8 ports)
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ProgrammerLink.h"
#include "VirtualProgrammer.h"
#include "device/DeviceMap.h"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

struct TFigures {
    bool Ok = true;
    double Median = 0;
    double Min = 0;
    double Max = 0;
    double CpuPerPoll = 0;
};

// The ports are listed under names of their own (links beside the map), so
// that the silent ones come first in the list whatever their devices' names.
TFigures Measure(const std::filesystem::path& dir, unsigned silentCount, unsigned rounds) {
    const std::filesystem::path map = dir / ("map" + std::to_string(silentCount));
    std::filesystem::create_directories(map);
    setenv("CORVANE_SERIALCOMM", map.c_str(), 1);
    auto announce = [&](const std::string& name, const std::string& device) {
        const std::filesystem::path port = dir / (std::to_string(silentCount) + "-" + name);
        std::filesystem::create_symlink(device, port);
        device::AnnouncePort(map.string(), name, port.string());
    };

    sim::Faults silent;
    silent.silent = true;
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    for (unsigned i = 0; i < silentCount; ++i) {
        sim::BoardOptions options;
        options.baud = 9600;
        options.faults = silent;
        boards.push_back(std::make_unique<sim::VirtualProgrammer>(options));
        boards.back()->Start();
        char name[16];
        std::snprintf(name, sizeof name, "s%03u", i);
        announce(name, boards.back()->PortPath());
    }
    sim::BoardOptions options;
    options.baud = 9600;
    options.chip = sim::ChipFromCode("52");
    sim::VirtualProgrammer programmer(options);
    programmer.Start();
    announce("z-programmer", programmer.PortPath());

    TPortScreen screen;
    screen.Consoles = std::vector<std::string>{};
    screen.SettingsFile = (dir / "none.ini").string();
    std::vector<double> seconds;
    TFigures figures;
    const double cpu0 = bench::ProcessCpuSeconds();
    for (unsigned r = 0; r < rounds; ++r) {
        bench::TQuietView view;
        TProgrammerLink link(view);
        link.SetPortScreen(screen);
        const auto start = Clock::now();
        link.PollProgrammer();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (link.ChipKind() != ck89C52) figures.Ok = false;
    }
    figures.CpuPerPoll = (bench::ProcessCpuSeconds() - cpu0) / rounds;
    std::sort(seconds.begin(), seconds.end());
    figures.Median = seconds[seconds.size() / 2];
    figures.Min = seconds.front();
    figures.Max = seconds.back();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned rounds = std::max(argc > 1 ? std::atoi(argv[1]) : 5, 1);
    std::vector<unsigned> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    if (counts.empty()) counts = {0, 1, 4, 8};
    // The figure the others are measured against comes first.
    std::erase(counts, 0u);
    counts.insert(counts.begin(), 0);
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) return 2;

    std::printf("a poll that finds an 89C52 (9600 baud) behind silent ports, %u rounds each\n",
                rounds);
    std::printf("  silent ports   median     min      max    over none   cpu a poll\n");
    bool ok = true;
    double none = 0;
    for (unsigned count : counts) {
        const TFigures f = Measure(pattern, count, rounds);
        if (count == 0) none = f.Median;
        std::printf("  %12u  %6.3f s  %6.3f s  %6.3f s  %+8.3f s   %6.1f ms%s\n", count, f.Median,
                    f.Min, f.Max, f.Median - none, f.CpuPerPoll * 1e3,
                    f.Ok ? "" : "  -- PROGRAMMER NOT FOUND");
        ok = ok && f.Ok;
    }
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return ok ? 0 : 1;
}
