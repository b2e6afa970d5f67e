#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Console.h"

namespace corvane::cli::console {

std::vector<std::string> Arguments(int argc, char** argv) {
    return {argv + 1, argv + argc};
}

void PrepareStandardStreams() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A write to a reader that went away fails with EPIPE instead.
    signal(SIGPIPE, SIG_IGN);
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

int Columns(std::FILE* stream) {
    winsize size{};
    return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool TakesEscapes(std::FILE* /*stream*/) {
    return true;
}

void UseBinaryMode(std::FILE* /*stream*/) {
    // Every stream is binary here.
}

}  // namespace corvane::cli::console
