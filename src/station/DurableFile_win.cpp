#include <windows.h>

#include <string>

#include "DurableFile.h"
#include "Exception.h"
#include "Win32.h"

namespace corvane::station {

namespace {

[[noreturn]] void RaiseFileError(DWORD err) {
    throw EInOutError(static_cast<int>(err), SystemErrorText(err));
}

}  // namespace

void ReplaceDurably(const std::string& path, std::string_view text) {
    const std::wstring target = Widen(path);
    const std::wstring temp = target + L".new";
    {
        THandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.Get() == INVALID_HANDLE_VALUE) RaiseFileError(GetLastError());
        DWORD written = 0;
        if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written != text.size() || !FlushFileBuffers(file.Get())) {
            const DWORD err = GetLastError();
            file.Close();
            DeleteFileW(temp.c_str());
            RaiseFileError(err != 0 ? err : ERROR_DISK_FULL);
        }
        if (!file.Close()) {
            const DWORD err = GetLastError();
            DeleteFileW(temp.c_str());
            RaiseFileError(err);
        }
    }
    // One rename that replaces the old file and is on disk when it returns:
    // the old state or the new, never neither.
    if (!MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD err = GetLastError();
        DeleteFileW(temp.c_str());
        RaiseFileError(err);
    }
}

void SyncFolderOf(const std::string& /*path*/) {
    // NTFS journals the folder's names itself; there is no handle to flush.
}

}  // namespace corvane::station
