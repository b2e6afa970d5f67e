#include <windows.h>

#include <stdexcept>
#include <string>

#include "ScratchDir.h"
#include "Win32.h"

namespace corvane::cli {

std::string MakePrivateDir() {
    // The user's own folder for temporary files (%TMP%, %TEMP%), whose
    // folders are the user's alone.
    char temp[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("the folder for temporary files: " +
                                 SystemErrorText(GetLastError()));
    }
    static unsigned counter = 0;
    for (;;) {
        const std::string dir = std::string(temp) + "corvane-cli-" +
                                std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(++counter);
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
        const DWORD err = GetLastError();
        if (err != ERROR_ALREADY_EXISTS)
            throw std::runtime_error(dir + ": " + SystemErrorText(err));
    }
}

std::string DirWriteProblem(const std::string& dir) {
    // Whether a file can be made there is known only by making one: the
    // folder's access list decides. It goes again when closed.
    const std::string probe = dir + "\\.corvane-cli-" + std::to_string(GetCurrentProcessId());
    THandle file(CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.Get() != INVALID_HANDLE_VALUE) return "";
    const DWORD err = GetLastError();
    return err == ERROR_FILE_EXISTS ? "" : SystemErrorText(err);
}

}  // namespace corvane::cli
