// Programs and verifies (read-back) a full 89C55, 20,480 bytes, through the
// window (offscreen) against the virtual programmer:
//   - paced at 9600 baud: the total time against the line's own limit, 3
//     characters per byte written (XON, byte, XOFF) and 2 per byte read back,
//     each 10 bit times;
//   - unpaced: the host's time per byte and the processor time it used.
// Then polls, with the window's own timer, a device map of four silent ports
// (each costs the poll its 500 ms greeting budget).
//
// In each, the GUI thread's longest stall: the longest an event posted to it
// (every 5 ms, from a thread of its own) waited before the GUI thread handled it.
//
// The board runs on a thread of this process; the host's processor time is
// the process's less the board's own threads (each thread's CPU clock), so it
// holds the GUI thread, the link's worker thread, the port's event monitor
// and whatever else the host side runs (Qt's threads).
//
// bench_window_program [paced|unpaced|poll]   (all three when no argument is given)
#include <dirent.h>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Application.h"
#include "BenchSupport.h"
#include "LoopUntil.h"
#include "StallProbe.h"
#include "UHexFile.h"
#include "UMain.h"
#include "VirtualProgrammer.h"

namespace {

using namespace corvane;
using bench::ProcessCpuSeconds;
using bench::ThreadCpuSeconds;
using Clock = std::chrono::steady_clock;
using test::TStallProbe;

constexpr std::uint16_t kChipSize = 20480;

// The threads of this process, by task id.
std::set<pid_t> Tasks() {
    std::set<pid_t> tasks;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') tasks.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
        }
        closedir(dir);
    }
    return tasks;
}

// The processor time of other threads of this process: Linux's per-thread
// CPU clock of a task id (what pthread_getcpuclockid makes of a thread).
double TasksCpuSeconds(const std::set<pid_t>& tasks) {
    double total = 0;
    for (pid_t tid : tasks) {
        const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
        timespec ts{};
        if (clock_gettime(clock, &ts) == 0) {
            total += static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
        }
    }
    return total;
}

// The link's worker thread, by the name the window gives it.
std::optional<pid_t> LinkThread() {
    for (pid_t tid : Tasks()) {
        std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "programmer link") return tid;
    }
    return std::nullopt;
}

using bench::LoopUntil;

// When each status text of the link appears, and the GUI thread's processor
// time then (read through that thread's CPU clock from the link's thread, where
// the link reports it).
class TStatusMarks {
public:
    struct TMark {
        std::string Text;
        Clock::time_point When;
        double Cpu;
    };
    explicit TStatusMarks(TLinkRunner& runner) {
        pthread_getcpuclockid(pthread_self(), &FGuiClock);
        TLinkRunner::TWatch watch;
        watch.Status = [this](const std::string& text) {
            timespec ts{};
            clock_gettime(FGuiClock, &ts);
            std::lock_guard lock(FLock);
            FMarks.push_back(
                {text, Clock::now(),
                 static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9});
        };
        runner.SetWatch(std::move(watch));
    }
    // The first status text starting with `prefix`.
    std::optional<TMark> Mark(const std::string& prefix) const {
        std::lock_guard lock(FLock);
        for (const TMark& mark : FMarks) {
            if (mark.Text.rfind(prefix, 0) == 0) return mark;
        }
        return std::nullopt;
    }

private:
    clockid_t FGuiClock{};
    mutable std::mutex FLock;
    std::vector<TMark> FMarks;
};

std::vector<std::uint8_t> Image() {
    std::vector<std::uint8_t> bytes(kChipSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + 7) % 255);  // never 0xFF
    }
    return bytes;
}

bool Run(bool paced, const std::filesystem::path& dir) {
    const std::vector<std::uint8_t> bytes = Image();
    THexFile image;
    image.SetMemSize(kChipSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        image.SetByte(static_cast<std::uint16_t>(i), bytes[i]);
    }
    const std::string hexFile = (dir / "full.hex").string();
    image.SaveHex(hexFile);

    const std::filesystem::path map = dir / (paced ? "map-paced" : "map-unpaced");
    std::filesystem::create_directories(map);
    setenv("CORVANE_SERIALCOMM", map.c_str(), 1);

    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("55");
    options.baud = paced ? 9600 : 0;
    sim::VirtualProgrammer board(options);
    board.Announce(map.string(), "bench");
    const std::set<pid_t> before = Tasks();
    board.Start();
    std::set<pid_t> boardTasks;
    for (pid_t tid : Tasks()) {
        if (before.count(tid) == 0) boardTasks.insert(tid);
    }

    bool ok = false;
    {
        TFrmMain form;
        TStatusMarks marks(form.Runner());
        form.SetFileChooser([&](TFrmMain::TFileDialog) { return QString::fromStdString(hexFile); });
        form.SetMessageDisplay([](const QString& text) {
            std::fprintf(stderr, "message box: %s\n", text.toLocal8Bit().constData());
        });
        // Shown and exposed, as on a desktop: repaints of a hidden window cost nothing.
        form.show();
        while (form.windowHandle() == nullptr || !form.windowHandle()->isExposed()) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        auto* label = form.findChild<QLabel*>(QStringLiteral("LblTargetChip"));
        LoopUntil([&] { return label->text() == "89C55"; });
        // The next tick comes a second after this poll: the Send's click waits
        // for no poll.
        LoopUntil([&] { return !form.Busy(); });
        const std::optional<pid_t> linkThread = LinkThread();
        const std::set<pid_t> linkTasks =
            linkThread ? std::set<pid_t>{*linkThread} : std::set<pid_t>{};

        TStallProbe probe(std::chrono::milliseconds(5));
        const double cpu0 = ThreadCpuSeconds();
        const double link0 = TasksCpuSeconds(linkTasks);
        const double proc0 = ProcessCpuSeconds();
        const double board0 = TasksCpuSeconds(boardTasks);
        const auto t0 = Clock::now();
        form.btnSendClick();
        LoopUntil([&] { return !form.Busy(); });
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = ThreadCpuSeconds() - cpu0;
        const double linkCpu = TasksCpuSeconds(linkTasks) - link0;
        const double proc = ProcessCpuSeconds() - proc0;
        const double boardCpu = TasksCpuSeconds(boardTasks) - board0;
        const double host = proc - boardCpu;
        probe.Stop();

        const std::string status = form.Link().LastStatus();
        const std::vector<std::uint8_t> flash = board.Flash();
        ok = status == "Complete!" && flash == bytes;

        std::printf("%s: %u bytes written and verified by read-back: %s\n",
                    paced ? "paced at 9600 baud" : "unpaced", kChipSize,
                    ok ? "Complete!" : ("FAILED, status " + status).c_str());
        std::printf("  wall time            %8.2f s\n", wall);
        std::printf("  GUI thread's longest stall %6.1f ms  (%ld events posted 5 ms apart)\n",
                    probe.LongestMs(), probe.Handled());
        const auto writing = marks.Mark("Writing");
        const auto verifying = marks.Mark("Verify");
        const auto complete = marks.Mark("Complete");
        double write = 0, read = 0;
        if (writing && verifying && complete) {
            write = std::chrono::duration<double>(verifying->When - writing->When).count();
            read = std::chrono::duration<double>(complete->When - verifying->When).count();
        }
        if (paced) {
            const double perChar = std::chrono::duration<double>(sim::CharacterTime(9600)).count();
            const double limit = 5.0 * kChipSize * perChar;
            std::printf("  line limit           %8.2f s  (5 characters per byte, %.3f ms each)\n",
                        limit, perChar * 1e3);
            std::printf("  over the limit       %8.2f %%\n", (wall / limit - 1.0) * 100.0);
            if (writing && verifying && complete) {
                std::printf("  write pass           %8.2f s  (limit %.2f s, %+.2f %%)\n", write,
                            3.0 * kChipSize * perChar,
                            (write / (3.0 * kChipSize * perChar) - 1.0) * 100.0);
                std::printf("  read-back verify     %8.2f s  (limit %.2f s, %+.2f %%)\n", read,
                            2.0 * kChipSize * perChar,
                            (read / (2.0 * kChipSize * perChar) - 1.0) * 100.0);
            }
        } else {
            std::printf("  time per byte        %8.1f us  (write and read back)\n",
                        wall / kChipSize * 1e6);
            if (writing && verifying && complete) {
                std::printf("    write pass         %8.1f us  (GUI thread CPU %.1f us)\n",
                            write / kChipSize * 1e6,
                            (verifying->Cpu - writing->Cpu) / kChipSize * 1e6);
                std::printf("    read-back verify   %8.1f us  (GUI thread CPU %.1f us)\n",
                            read / kChipSize * 1e6,
                            (complete->Cpu - verifying->Cpu) / kChipSize * 1e6);
            }
        }
        std::printf("  host CPU             %8.2f s  (%.1f %% of wall time, %.1f us per byte)\n",
                    host, host / wall * 100.0, host / kChipSize * 1e6);
        std::printf("    GUI thread         %8.2f s  (%.1f %% of wall time)\n", cpu,
                    cpu / wall * 100.0);
        std::printf("    link's thread      %8.2f s  (%.1f %% of wall time)\n", linkCpu,
                    linkCpu / wall * 100.0);
        std::printf(
            "    other host threads %8.2f s  (%.1f %% of wall time: the event monitor, Qt)\n",
            host - cpu - linkCpu, (host - cpu - linkCpu) / wall * 100.0);
        std::printf("  board thread CPU     %8.2f s  (%.1f %% of wall time, %zu thread%s)\n",
                    boardCpu, boardCpu / wall * 100.0, boardTasks.size(),
                    boardTasks.size() == 1 ? "" : "s");
        std::printf("  process CPU          %8.2f s  (%.1f %% of wall time, board included)\n",
                    proc, proc / wall * 100.0);
    }
    return ok;
}

// Three polls by the window's own timer over four silent ports.
bool Poll(const std::filesystem::path& dir) {
    const std::filesystem::path map = dir / "map-silent";
    std::filesystem::create_directories(map);
    setenv("CORVANE_SERIALCOMM", map.c_str(), 1);
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> boards;
    for (const char* name : {"s1", "s2", "s3", "s4"}) {
        sim::BoardOptions options;
        options.faults.silent = true;
        boards.push_back(std::make_unique<sim::VirtualProgrammer>(options));
        boards.back()->Announce(map.string(), name);
        boards.back()->Start();
    }
    TFrmMain form;
    form.show();
    int polls = 0;
    QObject::connect(&form.Timer1(), &QTimer::timeout, [&] { ++polls; });
    TStallProbe probe(std::chrono::milliseconds(5));
    const auto t0 = Clock::now();
    // Three polls begun, and the last one ended.
    LoopUntil([&] { return polls >= 3 && !form.Busy(); });
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    probe.Stop();
    std::printf("polls over four silent ports: 3 polls in %.2f s\n", wall);
    std::printf("  GUI thread's longest stall %6.1f ms  (%ld events posted 5 ms apart)\n",
                probe.LongestMs(), probe.Handled());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    corvane::TApplication app(argc, argv);
    const std::string only = argc > 1 ? argv[1] : "";

    std::string pattern =
        (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    const std::filesystem::path dir = pattern;

    bool ok = true;
    if (only.empty() || only == "unpaced") ok = Run(false, dir) && ok;
    if (only.empty() || only == "paced") ok = Run(true, dir) && ok;
    if (only.empty() || only == "poll") ok = Poll(dir) && ok;
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
