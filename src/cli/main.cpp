// corvane-cli: finds the programmer, programs a HEX file into its chip or
// reads the chip into one, from a terminal or a script.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CliProgram.h"
#include "ScratchDir.h"
#include "StopSignals.h"

int main(int argc, char** argv) {
    // Status lines interleave with the error lines in the order they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Before any thread is started: Ctrl+C, SIGTERM and SIGHUP are taken by a
    // thread of their own and stop the work cleanly.
    corvane::cli::stop_signals::Install(STDERR_FILENO, corvane::cli::RemoveScratchDirs);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return corvane::cli::RunCli(args, stdout, stderr, isatty(STDOUT_FILENO) != 0);
}
