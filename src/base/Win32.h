#pragma once

// Small helpers for the Windows sources (_win.cpp) of every module.

#include <windows.h>

#include <string>

namespace corvane {

// The system's own text for a Win32 error number, without the line end and
// the full stop that the system adds.
inline std::string SystemErrorText(DWORD err) {
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

// A handle that is closed when it goes.
class THandle {
public:
    explicit THandle(HANDLE handle) : FHandle(handle) {}
    ~THandle() {
        if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return FHandle; }
    // Closes now, reporting the result, so that a failed close is not lost.
    bool Close() {
        const bool ok = CloseHandle(FHandle) != 0;
        FHandle = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE FHandle;
};

}  // namespace corvane
