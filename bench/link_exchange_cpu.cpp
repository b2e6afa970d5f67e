// Processor time that the programmer link spends waiting for an answer that
// never comes: one exchange with a 5-second budget on a line that stays
// silent. The wait blocks on the port, so the process should use close to no
// processor time (goal: under 2 % of the wall time).

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "BenchSupport.h"
#include "ProgrammerLink.h"

namespace {}  // namespace

int main() {
    int master = -1;
    int slave = -1;
    char name[256];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }

    corvane::bench::TQuietView view;
    double cpu = 0;
    double wall = 0;
    std::size_t replyLength = 0;
    {
        corvane::TProgrammerLink link(view);
        link.ComPort().SetPort(name);
        link.ComPort().OpenPort();

        const double cpu0 = corvane::bench::ProcessCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::string reply;
        link.Exchange('p', '>', reply, 5000);
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpu = corvane::bench::ProcessCpuSeconds() - cpu0;
        replyLength = reply.size();
    }
    close(slave);
    close(master);

    const double share = 100.0 * cpu / wall;
    std::printf("link_exchange_cpu: unanswered exchange, budget 5000 ms\n");
    std::printf("  wall time      %8.3f s (reply %zu bytes)\n", wall, replyLength);
    std::printf("  processor time %8.4f s (user + system, whole process)\n", cpu);
    std::printf("  share          %8.3f %% of wall time (goal: under 2 %%) %s\n", share,
                share < 2.0 ? "met" : "NOT MET");
    return share < 2.0 ? 0 : 1;
}
