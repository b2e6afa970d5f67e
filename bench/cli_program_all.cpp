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
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DeviceMap.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

extern char** environ;

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

constexpr double kGoal = 1.05;

struct TTimes {
    bool Ok = false;
    double Seconds = 0;
    double CpuSeconds = 0;
};

double Seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

// Runs corvane-cli with `args` on the device map `map`, its output to `log`.
TTimes RunCli(const std::vector<std::string>& args, const std::filesystem::path& map,
              const std::filesystem::path& config, const std::filesystem::path& log) {
    std::vector<std::string> argText{CORVANE_CLI_PATH};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (!entry.starts_with("CORVANE_SERIALCOMM=") && !entry.starts_with("XDG_CONFIG_HOME=")) {
            envText.push_back(entry);
        }
    }
    envText.push_back("CORVANE_SERIALCOMM=" + map.string());
    envText.push_back("XDG_CONFIG_HOME=" + config.string());
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    TTimes times;
    const auto start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return times;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    times.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    times.CpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    times.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return times;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned bytes = std::clamp(argc > 1 ? std::atoi(argv[1]) : 1024, 1, 8192);
    const unsigned rounds = std::max(argc > 2 ? std::atoi(argv[2]) : 3, 1);
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) return 2;
    const std::filesystem::path dir = pattern;

    std::vector<std::uint8_t> data(bytes);
    THexFile image;
    image.SetMemSize(8192);
    image.Clear();
    for (unsigned i = 0; i < bytes; ++i) {
        data[i] = static_cast<std::uint8_t>((i * 31 + 7) % 255);  // never 0xFF
        image.SetByte(static_cast<std::uint16_t>(i), data[i]);
    }
    const std::string file = (dir / "image.hex").string();
    image.SaveHex(file);

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
