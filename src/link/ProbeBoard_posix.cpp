#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ProbeBoard.h"
#include "device/DeviceMap.h"

namespace corvane::probe_board {

std::string Directory(bool make) {
    // Beside the map that the searches read: a private map (tests, demos)
    // has searches and a folder of its own.
    const std::string map = device::OverrideMapDirectory();
    std::string dir;
    if (!map.empty()) {
        dir = map + ".probe";
    } else {
        const std::string runtime = device::RuntimeMapDirectory();
        dir = runtime.substr(0, runtime.rfind('/')) + "/probe";
        if (make) mkdir(runtime.substr(0, runtime.rfind('/')).c_str(), 0700);
    }
    if (make) mkdir(dir.c_str(), 0700);
    // Only a folder where no one else can put a file or a link, in one where
    // no one else can swap it.
    for (const std::string& folder : {dir.substr(0, dir.rfind('/')), dir}) {
        struct stat st {};
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
            (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return "";
        }
    }
    return dir;
}

long ThisProcess() {
    return static_cast<long>(getpid());
}

bool ProcessRuns(long id) {
    return id > 0 && (kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM);
}

}  // namespace corvane::probe_board
