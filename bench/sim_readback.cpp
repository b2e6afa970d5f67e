// A 1,000-byte read-back from the virtual programmer with line pacing at
// 9600 baud, timed from the host's 'r' to the prompt, against the nominal
// line time: 'r' to the board, then the echo, 2,000 hex digits and '>' back,
// 2,003 characters of 10 bits each.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "VirtualProgrammer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads until `terminator`; false when nothing more came for 5 s.
bool ReadUntil(int fd, char terminator, std::string& got) {
    char buf[4096];
    for (;;) {
        if (got.find(terminator) != std::string::npos) return true;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
}

bool Exchange(int fd, char command, char terminator) {
    std::string got;
    return write(fd, &command, 1) == 1 && ReadUntil(fd, terminator, got);
}

}  // namespace

int main() {
    constexpr unsigned kBaud = 9600;
    constexpr unsigned kBytes = 1000;
    constexpr int kRuns = 5;

    corvane::sim::BoardOptions options;
    options.chip = corvane::sim::ChipFromCode("51");
    options.baud = kBaud;
    corvane::sim::VirtualProgrammer board(options);
    board.Start();

    const int fd = open(board.PortPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("open");
        return 1;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(fd, TCSANOW, &tio);

    bool ok = Exchange(fd, 's', '\x11');
    for (char d : std::to_string(kBytes)) ok = ok && Exchange(fd, d, '\x11');
    ok = ok && Exchange(fd, '\n', '>');
    if (!ok) {
        std::fprintf(stderr, "setting the counter failed\n");
        return 1;
    }

    const double nominal =
        std::chrono::duration<double>(corvane::sim::CharacterTime(kBaud)).count() *
        (1 + 1 + 2 * kBytes + 1);
    double worst = 0;
    double total = 0;
    for (int run = 0; run < kRuns; ++run) {
        std::string got;
        const auto start = Clock::now();
        if (write(fd, "r", 1) != 1 || !ReadUntil(fd, '>', got)) {
            std::fprintf(stderr, "read-back failed\n");
            return 1;
        }
        const double actual = std::chrono::duration<double>(Clock::now() - start).count();
        if (got.size() != 2 * kBytes + 2) {
            std::fprintf(stderr, "read-back gave %zu characters\n", got.size());
            return 1;
        }
        const double deviation = (actual - nominal) / nominal * 100;
        std::printf("run %d: actual %.4f s, nominal %.4f s, deviation %+.2f %%\n", run + 1, actual,
                    nominal, deviation);
        worst = std::max(worst, std::fabs(deviation));
        total += actual;
    }
    const double mean = total / kRuns;
    std::printf(
        "sim_readback: %u bytes at %u baud: mean %.4f s, nominal %.4f s (%+.2f %%), worst "
        "%.2f %%: %s\n",
        kBytes, kBaud, mean, nominal, (mean - nominal) / nominal * 100, worst,
        worst <= 5.0 ? "within 5 %" : "NOT within 5 %");
    close(fd);
    return worst <= 5.0 ? 0 : 1;
}
