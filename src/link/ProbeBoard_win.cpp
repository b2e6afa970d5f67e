#include <windows.h>

#include <filesystem>
#include <system_error>

#include "ProbeBoard.h"
#include "Win32.h"

namespace corvane::probe_board {

std::string Directory(bool make) {
    const std::string base = EnvironmentValue("LOCALAPPDATA").value_or("");
    if (base.empty()) return "";
    const std::filesystem::path dir = std::filesystem::path(Widen(base)) / L"corvane" / L"probe";
    std::error_code error;
    if (make) std::filesystem::create_directories(dir, error);
    return Narrow(dir.wstring());
}

long ThisProcess() {
    return static_cast<long>(GetCurrentProcessId());
}

bool ProcessRuns(long id) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
}

}  // namespace corvane::probe_board
