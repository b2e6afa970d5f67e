#include <windows.h>

#include <string>

#include "Exception.h"
#include "TextFile.h"
#include "Win32.h"

namespace corvane {

namespace {

[[noreturn]] void RaiseFileError(DWORD err) {
    throw EInOutError(static_cast<int>(err), SystemErrorText(err));
}

// The file's contents; false when it does not exist and that is no error.
bool Read(const std::string& fileName, std::string& text, bool missingIsError) {
    text.clear();
    THandle file(CreateFileW(Widen(fileName).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if ((err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) && !missingIsError) {
            return false;
        }
        RaiseFileError(err);
    }
    char buffer[8192];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr))
            RaiseFileError(GetLastError());
        if (n == 0) break;
        text.append(buffer, n);
    }
    return true;
}

}  // namespace

bool ReadTextFile(const std::string& FileName, std::string& Text) {
    return Read(FileName, Text, false);
}

std::string ReadWholeFile(const std::string& fileName) {
    std::string text;
    Read(fileName, text, true);
    return text;
}

}  // namespace corvane
