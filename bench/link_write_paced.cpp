// The write pass against the virtual programmer paced at 9600 baud, without
// the window, against the line's own limit of 3 characters per byte (XON,
// the byte, XOFF), 10 bit times each. Three ways of driving the same pass:
//
//   raw   the bare pty: poll and read/write on the descriptor, nothing of
//         ours on the host side (what the board and the kernel cost alone);
//   port  the serial port component as the link uses it (ReadBytes(1) for
//         XON, SendChar, ReadBytes(1) for XOFF), with a timestamp at every
//         step, so the time of one byte splits into its phases;
//   link  TProgrammerLink::WriteChip itself, as the window runs it.
//
// bench_link_write_paced [bytes] [raw|port|link]   (2,000 bytes, all three)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CPort.h"
#include "ProgrammerLink.h"
#include "ProgrammerView.h"
#include "VirtualProgrammer.h"

namespace {

using namespace corvane;
using bench::ProcessCpuSeconds;
using bench::TQuietView;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBaud = 9600;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::vector<std::uint8_t> Image(unsigned count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + 7) % 255);  // never 0xFF
    }
    return bytes;
}

// Mean, least, median and 90th/99th percentile of a set of microsecond
// figures. With a line time: false when any figure is below it, which the
// board must never allow (a host cannot see its answer before the line
// could have carried it, however late the host itself was).
bool PrintSpread(const char* name, std::vector<double> us, double ideal) {
    if (us.empty()) return true;
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
    double sum = 0;
    for (double v : us) sum += v;
    std::printf("    %-22s mean %7.1f  min %7.1f  median %7.1f  p90 %7.1f  p99 %7.1f us", name,
                sum / us.size(), us.front(), at(0.5), at(0.9), at(0.99));
    if (ideal > 0) std::printf("  (line %6.1f, over %+6.1f)", ideal, sum / us.size() - ideal);
    std::printf("\n");
    if (ideal > 0 && us.front() < ideal) {
        std::printf("    %s: faster than the line\n", name);
        return false;
    }
    return true;
}

struct TResult {
    bool Ok = false;
    Clock::duration Wall{};
    double Cpu = 0;
};

void Report(const char* name, unsigned count, const TResult& r) {
    const double perChar = Seconds(sim::CharacterTime(kBaud));
    const double limit = 3.0 * count * perChar;
    const double wall = Seconds(r.Wall);
    std::printf(
        "  %-5s %s  %7.3f s  limit %7.3f s  %+6.2f %%  per byte %7.1f us (+%5.1f)  CPU %5.1f %%\n",
        name, r.Ok ? "ok    " : "FAILED", wall, limit, (wall / limit - 1.0) * 100.0,
        wall / count * 1e6, (wall - limit) / count * 1e6, r.Cpu / wall * 100.0);
}

// Puts the board's counter to `count` and starts its write pass; the echo
// 'w' has been read when this returns (the first XON has not).
bool StartPassRaw(int fd, unsigned count) {
    auto get = [fd](char& c) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 2000) == 1 && read(fd, &c, 1) == 1;
    };
    auto put = [fd](char c) { return write(fd, &c, 1) == 1; };
    char c = 0;
    if (!put('s') || !get(c) || c != sim::kXon) return false;
    for (char d : std::to_string(count)) {
        if (!put(d) || !get(c) || c != sim::kXon) return false;
    }
    if (!put('\n')) return false;
    do {
        if (!get(c)) return false;
    } while (c != '>');
    if (!put('w')) return false;
    return get(c) && c == 'w';
}

TResult RunRaw(const std::string& path, unsigned count, const std::vector<std::uint8_t>& bytes) {
    TResult r;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return r;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(fd, TCSANOW, &tio);
    if (StartPassRaw(fd, count)) {
        auto get = [fd](char& c) {
            pollfd p{fd, POLLIN, 0};
            return poll(&p, 1, 2000) == 1 && read(fd, &c, 1) == 1;
        };
        const double cpu0 = ProcessCpuSeconds();
        const auto t0 = Clock::now();
        unsigned done = 0;
        for (; done < count; ++done) {
            char c = 0;
            if (!get(c) || c != sim::kXon) break;
            if (write(fd, &bytes[done], 1) != 1) break;
            if (!get(c) || c != sim::kXoff) break;
        }
        r.Wall = Clock::now() - t0;
        r.Cpu = ProcessCpuSeconds() - cpu0;
        char c = 0;
        pollfd p{fd, POLLIN, 0};
        r.Ok = done == count && poll(&p, 1, 2000) == 1 && read(fd, &c, 1) == 1 && c == '>';
    }
    close(fd);
    return r;
}

TResult RunPort(const std::string& path, unsigned count, const std::vector<std::uint8_t>& bytes) {
    TResult r;
    TQuietView view;
    TProgrammerLink link(view);
    TComPort& port = link.ComPort();
    port.SetPort(path);
    port.OpenPort();
    link.SourceImage().SetMemSize(20480);
    if (!link.SetCounter(static_cast<std::uint16_t>(count))) return r;
    std::string reply;
    link.Exchange('w', 'w', reply, 1000);
    if (reply.find('w') == std::string::npos || reply.find(sim::kXon) != std::string::npos) {
        return r;  // the pause after the echo keeps the first XON apart
    }

    // Per byte: a = XON read, b = byte sent, c = XOFF read.
    std::vector<Clock::time_point> a(count), b(count), c(count);
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    unsigned done = 0;
    for (; done < count; ++done) {
        std::uint8_t in = 0;
        if (port.ReadBytes(&in, 1) != 1 || in != sim::kXon) break;
        a[done] = Clock::now();
        port.SendChar(static_cast<char>(bytes[done]));
        b[done] = Clock::now();
        if (port.ReadBytes(&in, 1) != 1 || in != sim::kXoff) break;
        c[done] = Clock::now();
    }
    r.Wall = Clock::now() - t0;
    r.Cpu = ProcessCpuSeconds() - cpu0;
    link.Exchange(0, '>', reply, 1000);
    r.Ok = done == count && reply.find('>') != std::string::npos;

    const double t = std::chrono::duration<double, std::micro>(sim::CharacterTime(kBaud)).count();
    std::vector<double> sendCost, toXoff, toXon, whole;
    for (unsigned i = 0; i < done; ++i) {
        sendCost.push_back(std::chrono::duration<double, std::micro>(b[i] - a[i]).count());
        toXoff.push_back(std::chrono::duration<double, std::micro>(c[i] - b[i]).count());
        if (i + 1 < done) {
            toXon.push_back(std::chrono::duration<double, std::micro>(a[i + 1] - c[i]).count());
            whole.push_back(std::chrono::duration<double, std::micro>(a[i + 1] - a[i]).count());
        }
    }
    std::printf("  port phases of one byte:\n");
    PrintSpread("XON read -> sent", sendCost, 0);
    // The XOFF read may be late, so the step from it to the next XON has no
    // lower bound; the other two have (the byte was sent after the XON came).
    bool lineKept = PrintSpread("sent -> XOFF read", toXoff, 2 * t);
    PrintSpread("XOFF read -> XON read", toXon, 0);
    lineKept = PrintSpread("XON -> next XON", whole, 3 * t) && lineKept;
    r.Ok = r.Ok && lineKept;
    port.ClosePort();
    return r;
}

TResult RunLink(const std::string& path, unsigned count, const std::vector<std::uint8_t>& bytes) {
    TResult r;
    TQuietView view;
    TProgrammerLink link(view);
    link.ComPort().SetPort(path);
    link.ComPort().OpenPort();
    link.SourceImage().SetMemSize(20480);
    for (unsigned i = 0; i < count; ++i) {
        link.SourceImage().SetByte(static_cast<std::uint16_t>(i), bytes[i]);
    }
    if (!link.SetCounter(static_cast<std::uint16_t>(count))) return r;
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    // Includes the echo, the board's pause after it and the closing prompt.
    r.Ok = link.WriteChip(static_cast<std::uint16_t>(count));
    r.Wall = Clock::now() - t0;
    r.Cpu = ProcessCpuSeconds() - cpu0;
    link.ComPort().ClosePort();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 2000;
    const std::string only = argc > 2 ? argv[2] : "";
    if (count < 1 || count > 20480) {
        std::fprintf(stderr, "bytes: 1 to 20480\n");
        return 2;
    }
    const std::vector<std::uint8_t> bytes = Image(count);

    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("55");
    options.baud = kBaud;
    sim::VirtualProgrammer board(options);
    board.Start();
    const std::string path = board.PortPath();

    std::printf("write pass of %u bytes, board paced at %u baud (%.1f us a character)\n", count,
                kBaud,
                std::chrono::duration<double, std::micro>(sim::CharacterTime(kBaud)).count());
    bool ok = true;
    auto check = [&](const char* name, const TResult& r) {
        Report(name, count, r);
        const std::vector<std::uint8_t> flash = board.Flash();
        const bool same = std::equal(bytes.begin(), bytes.end(), flash.begin());
        if (!r.Ok || !same) {
            std::printf("  %s: the pass failed or the flash differs\n", name);
            ok = false;
        }
        board.InsertChip(sim::ChipFromCode("55"));  // blank again
    };
    try {
        if (only.empty() || only == "raw") check("raw", RunRaw(path, count, bytes));
        if (only.empty() || only == "port") check("port", RunPort(path, count, bytes));
        if (only.empty() || only == "link") {
            std::printf("  (link: echo, %lld ms pause and prompt included)\n",
                        static_cast<long long>(options.writePause.count()));
            check("link", RunLink(path, count, bytes));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return ok ? 0 : 1;
}
