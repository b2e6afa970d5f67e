#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "Exception.h"
#include "FileReplace.h"
#include "Win32.h"

namespace corvane {

namespace {

[[noreturn]] void RaiseFileError(DWORD err) {
    throw EInOutError(static_cast<int>(err), SystemErrorText(err));
}

}  // namespace

void ReplaceFileContents(const std::string& fileName, std::string_view text) {
    const bool existed = GetFileAttributesW(Widen(fileName).c_str()) != INVALID_FILE_ATTRIBUTES;
    std::string temp;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp = fileName + ".tmp" + std::to_string(GetCurrentProcessId()) + "." +
               std::to_string(attempt);
        handle = CreateFileW(Widen(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD err = GetLastError();
            if (err != ERROR_FILE_EXISTS || attempt > 100) RaiseFileError(err);
        }
    }
    THandle file(handle);
    auto fail = [&temp](DWORD err) {
        DeleteFileW(Widen(temp).c_str());
        RaiseFileError(err);
    };
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
        if (!WriteFile(file.Get(), text.data() + done, chunk, &n, nullptr)) fail(GetLastError());
        done += n;
    }
    if (!FlushFileBuffers(file.Get())) fail(GetLastError());
    if (!file.Close()) fail(GetLastError());
    // ReplaceFile keeps the old file's attributes and security on the new one.
    const bool replaced = existed
                              ? ReplaceFileW(Widen(fileName).c_str(), Widen(temp).c_str(), nullptr,
                                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                              : MoveFileExW(Widen(temp).c_str(), Widen(fileName).c_str(),
                                            MOVEFILE_WRITE_THROUGH) != 0;
    if (!replaced) fail(GetLastError());
}

}  // namespace corvane
