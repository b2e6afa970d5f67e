#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "Exception.h"
#include "FileAppend.h"
#include "Win32.h"

namespace corvane {

namespace {

[[noreturn]] void RaiseFileError(DWORD err) {
    throw EInOutError(static_cast<int>(err), SystemErrorText(err));
}

}  // namespace

TAppendFile::TAppendFile(const std::string& fileName) {
    // Others may read it meanwhile, not write it. Written at its end (this
    // process is its only writer), and cut back there when a record fails.
    HANDLE handle =
        CreateFileW(Widen(fileName).c_str(), GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) RaiseFileError(GetLastError());
    FHandle = reinterpret_cast<std::intptr_t>(handle);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size)) {
        const DWORD err = GetLastError();
        CloseHandle(handle);
        FHandle = -1;
        RaiseFileError(err);
    }
    FInitialSize = static_cast<std::uint64_t>(size.QuadPart);
    if (FInitialSize > 0) {
        OVERLAPPED at{};
        const std::uint64_t offset = FInitialSize - 1;
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        char last = 0;
        DWORD n = 0;
        FEndedInLineEnd = ReadFile(handle, &last, 1, &n, &at) && n == 1 && last == '\n';
    }
}

TAppendFile::~TAppendFile() {
    if (FHandle != -1) CloseHandle(reinterpret_cast<HANDLE>(FHandle));
}

void TAppendFile::Append(std::string_view text) {
    HANDLE handle = reinterpret_cast<HANDLE>(FHandle);
    LARGE_INTEGER before{};
    const LARGE_INTEGER zero{};
    if (!SetFilePointerEx(handle, zero, &before, FILE_END)) RaiseFileError(GetLastError());
    auto cutBack = [&](DWORD err) {
        if (SetFilePointerEx(handle, before, nullptr, FILE_BEGIN)) SetEndOfFile(handle);
        FlushFileBuffers(handle);
        RaiseFileError(err);
    };
    while (!text.empty()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 20));
        if (!WriteFile(handle, text.data(), chunk, &n, nullptr)) cutBack(GetLastError());
        if (n == 0) cutBack(ERROR_DISK_FULL);
        text.remove_prefix(n);
    }
    if (!FlushFileBuffers(handle)) cutBack(GetLastError());
}

}  // namespace corvane
