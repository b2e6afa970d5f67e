// corvane-cli: finds the programmer, programs a HEX file into its chip or
// reads the chip into one, from a terminal or a script.

#include <cstdio>
#include <string>
#include <vector>

#include "CliProgram.h"
#include "Console.h"
#include "ScratchDir.h"
#include "StopSignals.h"

int main(int argc, char** argv) {
    namespace cli = corvane::cli;
    // Status lines interleave with the error lines in the order they happen.
    cli::console::PrepareStandardStreams();
    // Before any thread is started: Ctrl+C, SIGTERM and SIGHUP (on Windows the
    // console's Ctrl+C, Ctrl+Break and close) are taken by a thread of their
    // own and stop the work cleanly.
    cli::stop_signals::Install(stderr, cli::RemoveScratchDirs);
    const std::vector<std::string> args = cli::console::Arguments(argc, argv);
    return cli::RunCli(args, stdout, stderr, cli::console::IsTerminal(stdout));
}
