#pragma once

// Small helpers for the Windows sources (_win.cpp) of every module.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Names are UTF-8 inside the program and UTF-16 at the system's wide ("W")
// calls; these convert at the call (Utf16_win.cpp).
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// The system's own text for a Win32 error number, without the line end and
// the full stop that the system adds.
std::string SystemErrorText(DWORD err);

// An environment variable's value (UTF-8); nullopt when it is not set.
std::optional<std::string> EnvironmentValue(const std::string& name);

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
