// Pings a window's GUI thread from another process: a byte every 50 ms on
// standard input (a socket whose other end the window's process answers on
// its GUI thread, echoing each byte), and the time to the echo is the
// window's wait. Until SIGTERM or SIGINT; then prints on standard output
// "N calls, worst wait W ms, median M ms, 99th percentile P ms, K over 16 ms".
// Exits 1 when an echo takes over 2 s or the socket closes.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "WaitSummary.h"

namespace {

using Clock = std::chrono::steady_clock;
volatile sig_atomic_t gEnd = 0;

}  // namespace

int main() {
    struct sigaction action {};
    action.sa_handler = [](int) { gEnd = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::vector<long long> waits;  // microseconds
    auto next = Clock::now();
    for (unsigned char id = 0; !gEnd; ++id) {
        const auto start = Clock::now();
        if (write(STDIN_FILENO, &id, 1) != 1) return gEnd ? 0 : 1;
        for (unsigned char echo = id + 1; echo != id && !gEnd;) {
            pollfd socket{STDIN_FILENO, POLLIN, 0};
            const int ready = poll(&socket, 1, 2000);
            if (ready == 0) {
                std::printf("the window did not answer within 2 s\n");
                return 1;
            }
            if (ready > 0 && read(STDIN_FILENO, &echo, 1) != 1) return 1;
        }
        if (gEnd) break;
        waits.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        next += std::chrono::milliseconds(50);
        std::this_thread::sleep_until(next);
    }
    std::printf("%s\n", corvane::test::WaitSummary(std::move(waits)).c_str());
    return 0;
}
