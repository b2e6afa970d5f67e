// The Win32 window under Wine running a station of 4 virtual programmers
// (89C52, paced at 9600 baud, in this process, mapped as COM5 to COM8), each
// given a fresh chip as soon as the station has seen the last one taken out,
// against corvane-cli.exe station on the same boards the same way. Both end
// by themselves after all chips (--chips). Run by bench_window_station_win,
// which gives it an X server.
// - Chips per hour: all boards' chips over the time from the program's start
//   (Wine's start-up included, for both) to the last log row. Goal: the
//   window's at least 0.98 of the terminal's.
// - How soon the window answers another process while its station runs: the
//   test driver sends it WM_NULL every 50 ms (SendMessageTimeout) from its
//   own process until the title counts every chip. Goal: worst wait at most
//   16 ms.
//
// window_station_win_host WINDOWS_BUILD [bytes] [chips per board]
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "StationBoards.h"

namespace {

using namespace corvane;
using namespace corvane::bench;
namespace fs = std::filesystem;

constexpr unsigned kFirstCom = 5;
const char* const kPortList = R"(HKLM\HARDWARE\DEVICEMAP\SERIALCOMM)";

// The name Wine gives a file of this machine (its Z: drive).
std::string WindowsPath(const fs::path& path) {
    std::string name = "Z:" + fs::absolute(path).string();
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

class TWine {
public:
    explicit TWine(const fs::path& build)
        : FPrefix(build / "wine"),
          FEnv{"LC_ALL=C.UTF-8",
               "LD_PRELOAD=" + (build / "tests/wine/libcorvane-modem-lines.so").string()} {}

    // A Windows program of the build, in its prefix, in the background.
    pid_t Start(std::vector<std::string> args, const fs::path& log) const {
        args.insert(args.begin(), {CORVANE_SOURCE_DIR "/scripts/wine-run.sh", FPrefix.string()});
        return Spawn(args, FEnv, log);
    }
    bool Run(std::vector<std::string> args, const fs::path& log) const {
        const pid_t pid = Start(std::move(args), log);
        return pid > 0 && WaitCli(pid, Clock::now()).Ok;
    }
    // COM`n` in the prefix: a link to `pty` and an entry in the port list.
    bool Map(unsigned n, const std::string& pty, const fs::path& log) const {
        std::error_code ignored;
        const fs::path link = FPrefix / "dosdevices" / ("com" + std::to_string(n));
        fs::remove(link, ignored);
        fs::create_symlink(pty, link, ignored);
        return Run({"reg", "add", kPortList, "/v", "Bench" + std::to_string(n), "/d",
                    "COM" + std::to_string(n), "/f"},
                   log);
    }
    // Before the board goes, so that no later program follows the link to a
    // terminal that another board may have taken.
    void Unmap(unsigned n) const {
        std::error_code ignored;
        fs::remove(FPrefix / "dosdevices" / ("com" + std::to_string(n)), ignored);
    }

private:
    fs::path FPrefix;
    std::vector<std::string> FEnv;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_station_win_host WINDOWS_BUILD [bytes] [chips]\n");
        return 2;
    }
    const fs::path build = argv[1];
    const unsigned bytes = std::clamp(argc > 2 ? std::atoi(argv[2]) : 2048, 1, 8192);
    const unsigned chips = std::max(argc > 3 ? std::atoi(argv[3]) : 3, 1);
    const fs::path dir = MakeBenchDir();
    if (dir.empty()) return 2;
    const std::string file = (dir / "image.hex").string();
    SavePattern(bytes, file);
    const TWine wine(build);
    TBoards boards = MakeStationBoards();
    for (unsigned i = 0; i < kStationBoards; ++i) {
        if (!wine.Map(kFirstCom + i, boards[i]->PortPath(), dir / "map.out")) {
            std::printf("  COM%u could not be mapped (see %s)\n", kFirstCom + i, dir.c_str());
            return 1;
        }
    }
    const auto port = [](std::size_t i) { return "COM" + std::to_string(kFirstCom + i); };
    const std::string total = std::to_string(kStationBoards * chips);

    // The terminal's station.
    const fs::path cliLog = dir / "cli.csv";
    const auto cliStart = Clock::now();
    const pid_t cli =
        wine.Start({(build / "src/cli/corvane-cli.exe").string(), "station", WindowsPath(file),
                    "--log", WindowsPath(cliLog), "--chips", total},
                   dir / "cli.out");
    const double cliSeconds = RunChips(boards, port, cliLog, chips, cliStart);
    if (cliSeconds < 0) kill(cli, SIGKILL);
    const bool cliOk = WaitCli(cli, cliStart).Ok;

    // The window's, the chips seated afresh, pinged by the driver meanwhile.
    for (auto& board : boards) {
        board->RemoveChip();
        board->SeatChip();
    }
    const fs::path windowLog = dir / "window.csv";
    const std::string driver = (build / "tests/app_win/corvane_win_driver.exe").string();
    const auto windowStart = Clock::now();
    const pid_t window =
        wine.Start({(build / "src/app_win/corvane.exe").string(), "--station", WindowsPath(file),
                    "--log", WindowsPath(windowLog), "--chips", total, "--no-bell"},
                   dir / "window.out");
    const pid_t pinger =
        wine.Start({driver, "ping-until:title~" + total + " good"}, dir / "driver.out");
    const double windowSeconds = RunChips(boards, port, windowLog, chips, windowStart);
    if (windowSeconds < 0) kill(pinger, SIGKILL);
    const bool pingOk = WaitCli(pinger, windowStart).Ok;
    wine.Run({driver, "close"}, dir / "close.out");
    const bool windowOk = WaitCli(window, windowStart).Ok;
    for (unsigned i = 0; i < kStationBoards; ++i) wine.Unmap(kFirstCom + i);

    std::printf(
        "Win32 window under Wine: station, %u bytes into %u 89C52 boards paced at 9600 baud, %u "
        "chips each\n",
        bytes, kStationBoards, chips);
    if (cliSeconds < 0 || windowSeconds < 0 || !cliOk || !pingOk || !windowOk) {
        std::printf("  a run failed (cli %d, window %d, driver %d; see %s)\n", cliOk, windowOk,
                    pingOk, dir.c_str());
        return 1;
    }
    PrintRates("corvane-cli.exe station", cliSeconds, windowSeconds, kStationBoards * chips);
    std::string pings = ReadAll(dir / "driver.out");
    pings.erase(std::remove(pings.begin(), pings.end(), '\r'), pings.end());
    if (pings.starts_with("ping: ")) pings.erase(0, 6);
    std::printf("  WM_NULL every 50 ms from another process: %s", pings.c_str());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
