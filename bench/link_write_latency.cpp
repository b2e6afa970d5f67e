// What a USB serial adapter's latency costs the write pass. The board (the
// virtual programmer, paced at 9600 baud) sits behind an adapter that holds
// what it sends for a latency period, as such adapters do unless their
// driver is in low-latency mode. The handshake waits for the board's XOFF
// and XON around every byte, so each byte waits for the adapter once.
//
// bench_link_write_latency [bytes] [latency-ms ...]   (300 bytes; 0 1 2 4 16 ms)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ProgrammerLink.h"
#include "VirtualProgrammer.h"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBaud = 9600;
constexpr unsigned kFullChip = 20480;  // an 89C55

struct TRun {
    bool Ok = false;
    double Seconds = 0;
};

TRun WritePass(unsigned latencyMs, unsigned count) {
    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("55");
    options.baud = kBaud;
    options.latency = std::chrono::milliseconds(latencyMs);
    sim::VirtualProgrammer board(options);
    board.Start();

    bench::TQuietView view;
    TProgrammerLink link(view);
    link.ComPort().SetPort(board.PortPath());
    link.ComPort().OpenPort();
    link.SourceImage().SetMemSize(kFullChip);
    for (unsigned i = 0; i < count; ++i) {
        link.SourceImage().SetByte(static_cast<std::uint16_t>(i),
                                   static_cast<std::uint8_t>((i * 31 + 7) % 255));
    }
    TRun run;
    if (!link.SetCounter(static_cast<std::uint16_t>(count))) return run;
    const auto t0 = Clock::now();
    // Includes the echo, the board's pause after it and the closing prompt.
    run.Ok = link.WriteChip(static_cast<std::uint16_t>(count));
    run.Seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    link.ComPort().ClosePort();
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 300;
    std::vector<unsigned> latencies;
    for (int i = 2; i < argc; ++i) latencies.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    if (latencies.empty()) latencies = {0, 1, 2, 4, 16};
    if (count < 1 || count > kFullChip) {
        std::fprintf(stderr, "bytes: 1 to %u\n", kFullChip);
        return 2;
    }
    const double line = 3.0 * std::chrono::duration<double>(sim::CharacterTime(kBaud)).count();
    std::printf(
        "write pass of %u bytes at %u baud behind an adapter (line alone: %.2f ms a byte)\n", count,
        kBaud, line * 1e3);
    std::printf("  latency   per byte   over the line   a full 89C55 (20480 bytes)\n");
    bool ok = true;
    for (unsigned latency : latencies) {
        const TRun run = WritePass(latency, count);
        const double perByte = run.Seconds / count;
        std::printf("  %4u ms  %7.2f ms  %+10.2f ms   %7.0f s%s\n", latency, perByte * 1e3,
                    (perByte - line) * 1e3, perByte * kFullChip, run.Ok ? "" : "  FAILED");
        ok = ok && run.Ok;
    }
    return ok ? 0 : 1;
}
