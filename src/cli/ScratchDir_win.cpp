#include <windows.h>

#include <stdexcept>
#include <string>

#include "ScratchDir.h"
#include "Win32.h"

namespace corvane::cli {

std::string MakePrivateDir() {
    // The user's own folder for temporary files (%TMP%, %TEMP%), whose
    // folders are the user's alone.
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("the folder for temporary files: " +
                                 SystemErrorText(GetLastError()));
    }
    static unsigned counter = 0;
    for (;;) {
        const std::wstring dir = std::wstring(temp, length) + L"corvane-cli-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(++counter);
        if (CreateDirectoryW(dir.c_str(), nullptr)) return Narrow(dir);
        const DWORD err = GetLastError();
        if (err != ERROR_ALREADY_EXISTS)
            throw std::runtime_error(Narrow(dir) + ": " + SystemErrorText(err));
    }
}

std::string DirWriteProblem(const std::string& dir) {
    // Whether a file can be made there is known only by making one: the
    // folder's access list decides. It goes again when closed.
    const std::string probe = dir + "\\.corvane-cli-" + std::to_string(GetCurrentProcessId());
    THandle file(CreateFileW(Widen(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.Get() != INVALID_HANDLE_VALUE) return "";
    const DWORD err = GetLastError();
    return err == ERROR_FILE_EXISTS ? "" : SystemErrorText(err);
}

}  // namespace corvane::cli
