// How long the link takes to bring the board back to its prompt after a pass
// that ended early, against the virtual programmer paced at 9600 baud (a
// board that waits for every byte of a pass, as a real one does):
//
//   write  the XON before the first byte is garbled (the board still waits
//          for byte 1): the link finishes the pass with 0xFF under the
//          handshake for every byte, 3 characters a byte on the line;
//   read   a read-back stopped after its first byte: the link reads and drops
//          the rest of the dump, 2 characters a byte.
//
// Both end with a greeting that must find the board at its prompt.
//
// bench_link_drain_paced [bytes] [baud] [write|read]   (20480 = a full 89C55, 9600, both)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"
#include "ProgrammerLink.h"
#include "VirtualProgrammer.h"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

// The next poll greets the board and asks for its chip.
bool Greets(TProgrammerLink& link) {
    link.PollProgrammer();
    return link.ChipKind() == ck89C55;
}

bool Run(const std::string& pass, unsigned bytes, unsigned baud) {
    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("55");
    options.baud = baud;
    // The pass ends at its first byte: a garbled XON before it, a wrong echo
    // in front of the dump.
    options.faults.xonGlitchAt = 1;
    options.faults.wrongReadEcho = 'x';
    sim::VirtualProgrammer board(options);
    board.Start();

    bench::TQuietView view;
    TProgrammerLink link(view);
    link.ComPort().SetPort(board.PortPath());
    link.ComPort().OpenPort();
    link.SetChipKind(ck89C55);
    for (unsigned i = 0; i < bytes; ++i) {
        link.SourceImage().SetByte(static_cast<std::uint16_t>(i),
                                   static_cast<std::uint8_t>((i * 31 + 7) % 255));
    }
    const auto count = static_cast<std::uint16_t>(bytes);
    if (!link.SetCounter(count)) {
        std::printf("%s: the board refused the count %u\n", pass.c_str(), bytes);
        return false;
    }
    const auto start = Clock::now();
    const bool passed = pass == "write" ? link.WriteChip(count) : link.ReadChip(count);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool atPrompt = Greets(link);
    const double perByte = seconds / bytes * 1e3;
    const double line = (pass == "write" ? 3.0 : 2.0) * 10.0 / baud * 1e3;
    std::printf(
        "%-5s %5u bytes at %u baud: pass %s, back at the prompt after %.2f s "
        "(%.3f ms a byte; the line alone %.3f ms)%s\n",
        pass.c_str(), bytes, baud, passed ? "complete" : "ended early", seconds, perByte, line,
        atPrompt ? "" : "  -- NO GREETING");
    if (pass == "write") {
        const auto flash = board.Flash();
        for (unsigned i = 0; i < bytes; ++i) {
            if (flash[i] != 0xFF) {
                std::printf("write: byte %u is 0x%02X, not 0xFF\n", i, flash[i]);
                return false;
            }
        }
    }
    return !passed && atPrompt;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned bytes = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 20480;
    const unsigned baud = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 9600;
    const std::string only = argc > 3 ? argv[3] : "";
    if (bytes < 2 || bytes > 20480 || baud == 0) {
        std::fprintf(stderr, "usage: bench_link_drain_paced [2..20480] [baud] [write|read]\n");
        return 2;
    }
    bool ok = true;
    for (const char* pass : {"write", "read"}) {
        if (only.empty() || only == pass) ok = Run(pass, bytes, baud) && ok;
    }
    return ok ? 0 : 1;
}
