// What the window's search costs a board beside the programmer, and what it
// costs finding the programmer. The window (offscreen, its own timer: each
// poll a second after the last ended) runs with no programmer and one silent
// pseudo-terminal listed (a board that never answers); inotify counts every
// open of its terminal side (each open raises DTR and RTS on a real port).
// Then virtual programmers are announced, one after another, at a random
// moment of the poll's interval: the time from each announcement to its chip
// shown in the window's label.
//
// bench_window_probe_opens [seconds] [rounds] [--every-tick]
//   (300 s, 5 rounds; --every-tick: every port at every poll, as before the
//   schedule, by a search-now at each tick of the timer)
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "LoopUntil.h"
#include "UMain.h"
#include "VirtualProgrammer.h"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The opens of one file, with their times, counted on a thread of its own.
class TOpenCounter {
public:
    explicit TOpenCounter(const std::string& path) : FFd(inotify_init1(IN_CLOEXEC)) {
        if (FFd < 0 || inotify_add_watch(FFd, path.c_str(), IN_OPEN) < 0) {
            std::perror("inotify");
            std::exit(2);
        }
        FThread = std::jthread([this](std::stop_token stop) {
            alignas(inotify_event) char buffer[4096];
            while (!stop.stop_requested()) {
                pollfd p{FFd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                const ssize_t n = read(FFd, buffer, sizeof buffer);
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    if ((event->mask & IN_OPEN) != 0) {
                        std::lock_guard lock(FMutex);
                        FTimes.push_back(Clock::now());
                    }
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
        });
    }
    ~TOpenCounter() {
        FThread.request_stop();
        FThread.join();
        close(FFd);
    }
    std::vector<Clock::time_point> Times() {
        std::lock_guard lock(FMutex);
        return FTimes;
    }

private:
    int FFd;
    std::mutex FMutex;
    std::vector<Clock::time_point> FTimes;
    std::jthread FThread;
};

using bench::LoopUntil;

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 300;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const bool everyTick = argc > 3 && std::strcmp(argv[3], "--every-tick") == 0;

    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("corvane-probe-bench-" + std::to_string(getpid()));
    const std::string map = (dir / "serialcomm").string();
    std::filesystem::create_directories(map);
    setenv("CORVANE_SERIALCOMM", map.c_str(), 1);

    sim::BoardOptions mute;
    mute.faults.silent = true;
    sim::VirtualProgrammer silent(mute);
    silent.Start();
    silent.Announce(map, "a-silent");
    TOpenCounter opens(silent.PortPath());

    TFrmMain form;
    form.show();
    auto* label = form.findChild<QLabel*>(QStringLiteral("LblTargetChip"));
    if (everyTick) {
        QObject::connect(&form.Timer1(), &QTimer::timeout, [&form] { form.Runner().SearchNow(); });
    }
    const Clock::time_point start = Clock::now();
    LoopUntil([&] { return Clock::now() - start >= std::chrono::seconds(seconds); });
    const std::vector<Clock::time_point> times = opens.Times();
    std::size_t early = 0;
    std::printf("silent pseudo-terminal opened at (s):");
    for (const Clock::time_point t : times) {
        std::printf(" %.1f", Seconds(t - start));
        if (t - start < std::chrono::seconds(seconds) / 2) ++early;
    }
    std::printf("\nopened %zu times in the first %d s (%zu in the first %d s)%s\n", times.size(),
                seconds, early, seconds / 2, everyTick ? ", every port at every cycle" : "");

    std::mt19937 random(12345);
    std::vector<double> found;
    for (int round = 0; round < rounds; ++round) {
        const Clock::time_point at = Clock::now() + std::chrono::milliseconds(random() % 1000);
        LoopUntil([&] { return Clock::now() >= at; });
        sim::VirtualProgrammer board;
        board.Start();
        const Clock::time_point announced = Clock::now();
        board.Announce(map, "b-programmer-" + std::to_string(round));
        LoopUntil([&] { return !label->text().isEmpty() || Clock::now() - announced > 30s; });
        if (label->text().isEmpty()) {
            std::printf("round %d: no chip within 30 s\n", round);
            return 1;
        }
        found.push_back(Seconds(Clock::now() - announced));
        board.Stop();  // unplugged: the window searches again
        LoopUntil([&] { return label->text().isEmpty(); });
    }
    std::sort(found.begin(), found.end());
    if (!found.empty()) {
        std::printf("announcement to chip shown: median %.2f s, least %.2f s, most %.2f s (%d)\n",
                    found[found.size() / 2], found.front(), found.back(), rounds);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
