#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdlib>

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
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv + 1, argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

namespace {

UINT gConsoleOutputCP = 0;  // the console's own, given back at the end

}  // namespace

void PrepareStandardStreams() {
    // The C library here buffers "line buffered" streams fully.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // The text is UTF-8 (file names hold any character); a console is told
    // so for as long as the program runs. Pipes and files get it as it is.
    gConsoleOutputCP = GetConsoleOutputCP();
    if (gConsoleOutputCP != 0 && gConsoleOutputCP != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(RestoreStandardStreams);
    } else {
        gConsoleOutputCP = 0;
    }
}

void RestoreStandardStreams() {
    if (gConsoleOutputCP == 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    SetConsoleOutputCP(gConsoleOutputCP);
    gConsoleOutputCP = 0;
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

bool ReadInputLine() {
    // A console's line comes whole once Enter is pressed; a pipe's byte by byte.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (char c = 0;;) {
        DWORD n = 0;
        if (!ReadFile(input, &c, 1, &n, nullptr) || n == 0) return false;
        if (c == '\n') return true;
    }
}

}  // namespace corvane::cli::console
