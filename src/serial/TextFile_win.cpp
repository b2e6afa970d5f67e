#include <windows.h>

#include <string>

#include "Exception.h"
#include "TextFile.h"

namespace corvane {

namespace {

// The system's own text for a Win32 error number.
std::string SystemErrorText(DWORD err) {
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, err, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text =
        n > 0 && buffer != nullptr ? std::string(buffer, n) : "System error " + std::to_string(err);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

[[noreturn]] void RaiseFileError(DWORD err) {
    throw EInOutError(static_cast<int>(err), SystemErrorText(err));
}

class THandle {
public:
    explicit THandle(HANDLE handle) : FHandle(handle) {}
    ~THandle() {
        if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return FHandle; }

private:
    HANDLE FHandle;
};

}  // namespace

bool ReadTextFile(const std::string& FileName, std::string& Text) {
    Text.clear();
    THandle file(CreateFileA(FileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
        RaiseFileError(err);
    }
    char buffer[8192];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr))
            RaiseFileError(GetLastError());
        if (n == 0) break;
        Text.append(buffer, n);
    }
    return true;
}

}  // namespace corvane
