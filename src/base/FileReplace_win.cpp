#include "FileReplace_win.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "Exception.h"
#include "FileReplace.h"
#include "Win32.h"

namespace corvane {

TSaveCalls gSaveCalls;

namespace {

[[noreturn]] void RaiseFileError(DWORD err, const std::string& more = "") {
    throw EInOutError(static_cast<int>(err), SystemErrorText(err) + more);
}

bool Exists(const std::wstring& name) {
    return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Move(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

// After ReplaceFile failed with `err`. What it leaves, as the system documents
// it: with ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 the old file is under the backup
// name and the new one under its temporary name; with any other result both
// keep their names (ERROR_UNABLE_TO_MOVE_REPLACEMENT would have removed the
// old file had no backup name been given). Whatever it left, the user gets a
// file under its own name (the old one, put back; the new one only when the
// old one is gone) and none of ours beside it.
void RecoverFromReplace(DWORD err, const std::wstring& target, const std::wstring& temp,
                        const std::wstring& backup) {
    if (!Exists(target) && Exists(backup)) Move(backup, target);
    if (!Exists(target) && Move(temp, target)) {
        // The old file is gone, or cannot be put back, and the new one is in
        // its place: saved.
        DeleteFileW(backup.c_str());
        return;
    }
    if (Exists(target)) {
        DeleteFileW(temp.c_str());
        DeleteFileW(backup.c_str());
        RaiseFileError(err);
    }
    // Nothing could be put back: say where the file is.
    RaiseFileError(err, " (the file is kept as " + Narrow(Exists(backup) ? backup : temp) + ")");
}

}  // namespace

void CheckReplaceable(const std::string& fileName) {
    // A read-only file is not replaced, as it would not be written.
    const DWORD attributes = GetFileAttributesW(Widen(fileName).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        RaiseFileError(ERROR_ACCESS_DENIED);
    }
}

void ReplaceFileContents(const std::string& fileName, std::string_view text) {
    CheckReplaceable(fileName);
    const std::wstring target = Widen(fileName);
    const bool existed = Exists(target);

    // The new file and the place the old one goes while the new one takes
    // its name, beside it: names of this process's own that are not there.
    std::wstring temp, backup;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; handle == INVALID_HANDLE_VALUE; ++attempt) {
        const std::wstring stem = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                  std::to_wstring(attempt);
        temp = stem + L".tmp";
        backup = stem + L".old";
        if (Exists(backup)) continue;
        handle = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD err = GetLastError();
            if (err != ERROR_FILE_EXISTS || attempt > 100) RaiseFileError(err);
        }
    }
    THandle file(handle);
    // Our handle goes first: a file that is open cannot be deleted.
    auto fail = [&](DWORD err) {
        if (file.Get() != INVALID_HANDLE_VALUE) file.Close();
        DeleteFileW(temp.c_str());
        RaiseFileError(err);
    };
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
        if (!gSaveCalls.Write(file.Get(), text.data() + done, chunk, &n, nullptr)) {
            fail(GetLastError());
        }
        done += n;
    }
    if (!gSaveCalls.Flush(file.Get())) fail(GetLastError());
    if (!file.Close()) fail(GetLastError());
    if (!existed) {
        if (!Move(temp, target)) fail(GetLastError());
        return;
    }
    // ReplaceFile keeps the old file's attributes and security on the new one.
    if (!gSaveCalls.Replace(target.c_str(), temp.c_str(), backup.c_str(),
                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        RecoverFromReplace(GetLastError(), target, temp, backup);
        return;
    }
    DeleteFileW(backup.c_str());
}

}  // namespace corvane
