#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "Console.h"

namespace corvane::cli::console {

std::vector<std::string> Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void PrepareStandardStreams() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A write to a reader that went away fails with EPIPE instead.
    signal(SIGPIPE, SIG_IGN);
}

void RestoreStandardStreams() {}

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

bool ReadInputLine() {
    for (char c = 0;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
    }
}

}  // namespace corvane::cli::console
