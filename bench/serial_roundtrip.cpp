// The per-byte round trip that programming costs: SendChar one byte to a
// pseudo-terminal whose far end echoes it, ReadBytes it back.
// Reports microseconds per round trip.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "CPort.h"

namespace {

// The far end: a pseudo-terminal that sends back what it receives.
class EchoingPty {
public:
    EchoingPty() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0 ||
            ptsname_r(FMaster, name, sizeof name) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        FPath = name;
        FThread = std::thread([this] {
            char buf[256];
            while (!FStop.load()) {
                pollfd fd{FMaster, POLLIN, 0};
                if (poll(&fd, 1, 20) <= 0) continue;
                ssize_t n = read(FMaster, buf, sizeof buf);
                if (n > 0) (void)!write(FMaster, buf, static_cast<std::size_t>(n));
            }
        });
    }
    ~EchoingPty() {
        FStop = true;
        FThread.join();
        close(FMaster);
    }
    const std::string& Path() const { return FPath; }

private:
    int FMaster = -1;
    std::string FPath;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// The main window's port: 9600 8N1, no flow control, 4096-byte queues, read
// time-outs 100 ms per byte plus 1000 ms, only received characters watched.
void RoundTrip(benchmark::State& state, bool monitor) {
    EchoingPty pty;
    corvane::TComPort port;
    port.SetPort(pty.Path());
    port.SetEvents(monitor ? corvane::TComEvents{corvane::evRxChar} : corvane::TComEvents{});
    port.Buffer().SetInputSize(4096);
    port.Buffer().SetOutputSize(4096);
    port.Timeouts().SetReadTotalMultiplier(100);
    port.Timeouts().SetReadTotalConstant(1000);
    port.OpenPort();
    char ch = 0;
    for (auto _ : state) {
        port.SendChar('w');
        if (port.ReadBytes(&ch, 1) != 1) {
            state.SkipWithError("no echo");
            break;
        }
        benchmark::DoNotOptimize(ch);
    }
    // The monitor hands its wake-ups to the owner thread; closing serves them.
    port.ClosePort();
}

void BM_RoundTripMainWindowPort(benchmark::State& state) {
    RoundTrip(state, true);
}
void BM_RoundTripWithoutMonitor(benchmark::State& state) {
    RoundTrip(state, false);
}

BENCHMARK(BM_RoundTripMainWindowPort)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RoundTripWithoutMonitor)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
