// For corvane-cli's test under Wine: runs a program in this program's console
// and presses Ctrl+C there once the program's progress bar on the console has
// reached a number of bytes.
//   console_ctrl_c.exe BYTES OUT ERR PROGRAM [ARGS...]
// The program's standard error goes to the file ERR. At the end the console's
// lines (the status lines, the bar as it was left) go to the file OUT, and
// this program ends with the program's exit status. Wine gives a program a
// console when it is started on a terminal (script(1) makes one).

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "console_ctrl_c: %s failed (%lu)\n", what, GetLastError());
    return 1;
}

// The console's lines, without the blanks that fill each to its width.
std::string ConsoleText(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info)) return "";
    std::string text;
    for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
        std::string line(static_cast<std::size_t>(info.dwSize.X), ' ');
        DWORD n = 0;
        ReadConsoleOutputCharacterA(console, line.data(), static_cast<DWORD>(line.size()),
                                    COORD{0, row}, &n);
        line.resize(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    return text;
}

// The bytes done that the last bar on the console shows, or -1.
long BarBytes(const std::string& text) {
    static const std::regex bar(R"(\] +(\d+)/\d+ bytes)");
    long done = -1;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), bar);
         it != std::sregex_iterator(); ++it) {
        done = std::atol((*it)[1].str().c_str());
    }
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: console_ctrl_c BYTES OUT ERR PROGRAM [ARGS...]\n");
        return 1;
    }
    const long bytes = std::atol(argv[1]);
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return Fail("a console");
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE out =
        CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    const HANDLE err =
        CreateFileA(argv[3], GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) return Fail("OUT or ERR");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = console;
    startup.hStdError = err;
    std::string command;
    for (int i = 4; i < argc; ++i) command += (i > 4 ? " \"" : "\"") + std::string(argv[i]) + "\"";
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        return Fail("CreateProcess");
    }
    // From now on (the program has its own handling already).
    SetConsoleCtrlHandler(nullptr, TRUE);

    // The console tells nobody when it changes: it is looked at until the
    // bar is far enough, or the program has ended.
    bool sent = false;
    while (WaitForSingleObject(child.hProcess, 5) == WAIT_TIMEOUT) {
        if (BarBytes(ConsoleText(console)) >= bytes) {
            if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return Fail("GenerateConsoleCtrlEvent");
            sent = true;
            break;
        }
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(child.hProcess, &status);
    const std::string text = ConsoleText(console);
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (!sent) {
        const std::string why =
            "console_ctrl_c: the bar never reached " + std::to_string(bytes) + " bytes\n";
        WriteFile(err, why.data(), static_cast<DWORD>(why.size()), &written, nullptr);
    }
    return static_cast<int>(status);
}
