#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ProbeBoard.h"
#include "device/DeviceMap.h"

namespace corvane::probe_board {

namespace {

// A folder of this user's where no one else can put, swap or remove a file.
bool Private(const std::string& folder) {
    struct stat st {};
    return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::string Directory(bool make) {
    // Beside the map that the searches read: a private map (tests, demos)
    // has searches and a folder of its own.
    std::string map = device::OverrideMapDirectory();
    while (map.size() > 1 && map.back() == '/') map.pop_back();
    const std::string runtime = device::RuntimeMapDirectory();
    const std::string parent =
        !map.empty() ? map.substr(0, map.rfind('/')) : runtime.substr(0, runtime.rfind('/'));
    const std::string dir = !map.empty() ? map + ".probe" : parent + "/probe";
    if (make && map.empty()) mkdir(parent.c_str(), 0700);
    if (!Private(parent)) return "";
    if (make) mkdir(dir.c_str(), 0700);
    return Private(dir) ? dir : "";
}

long ThisProcess() {
    return static_cast<long>(getpid());
}

bool ProcessRuns(long id) {
    return id > 0 && (kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM);
}

}  // namespace corvane::probe_board
