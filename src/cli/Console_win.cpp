#include <fcntl.h>
#include <io.h>
#include <windows.h>

// After windows.h, whose types it uses.
#include <shellapi.h>

#include "Console.h"
#include "Win32.h"

namespace corvane::cli::console {

namespace {

HANDLE HandleOf(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return {argv + 1, argv + argc};
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

void PrepareStandardStreams() {
    // The C library here buffers "line buffered" streams fully.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool IsTerminal(std::FILE* stream) {
    // A console, not just any character device (NUL is one too).
    DWORD mode = 0;
    return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

int Columns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(HandleOf(stream), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool TakesEscapes(std::FILE* stream) {
    const HANDLE console = HandleOf(stream);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void UseBinaryMode(std::FILE* stream) {
    std::fflush(stream);
    _setmode(_fileno(stream), _O_BINARY);
}

}  // namespace corvane::cli::console
