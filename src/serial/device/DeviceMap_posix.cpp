#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>

#include "DeviceMap.h"

namespace corvane::device {

namespace {

int MakeDirs(const std::string& path) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// Hardware serial ports: every tty in sysfs that has a device behind it,
// except 8250-type placeholders whose UART type is 0 (no chip there).
void ReadSysfsPorts(std::vector<std::string>& ports) {
    const std::string base = "/sys/class/tty";
    std::unique_ptr<DIR, DirCloser> dir(opendir(base.c_str()));
    if (!dir) return;
    while (dirent* e = readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        struct stat st {};
        if (stat((base + "/" + name + "/device").c_str(), &st) != 0) continue;
        std::ifstream type(base + "/" + name + "/type");
        int uartType = -1;
        if (type >> uartType && uartType == 0) continue;
        ports.push_back("/dev/" + name);
    }
}

bool UsesTempFallback() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime == nullptr || runtime[0] == '\0';
}

// Without a runtime directory the map lives in the shared temporary folder
// ($TMPDIR when it is an absolute path, else /tmp), where any local user can
// make things first.
std::string TempFallbackFolder() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    return base + "/corvane-" + std::to_string(getuid());
}

// 0 when `dir` is a folder (not a link to one) that belongs to this user and
// that no one else may write to; ENOENT when it is not there; otherwise
// EPERM with the reason.
int CheckPrivateFolder(const std::string& dir, std::string& reason) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        reason = std::strerror(errno);
        return errno;
    }
    if (S_ISLNK(st.st_mode)) {
        reason = "it is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        reason = "it is not a folder";
    } else if (st.st_uid != getuid()) {
        reason = "it belongs to another user";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = "others may write to it";
    } else {
        return 0;
    }
    return EPERM;
}

// Says once per folder and reason why a runtime map is not used.
void TellOnce(const std::string& dir, const std::string& reason) {
    static std::mutex mutex;
    static std::set<std::string> told;
    const std::string text = "corvane: not using the port map in " + dir + ": " + reason;
    std::lock_guard lock(mutex);
    if (told.insert(text).second) std::fprintf(stderr, "%s\n", text.c_str());
}

// Checks the fallback folder and the map folder inside it before they are
// read; 0, ENOENT (nothing announced yet) or EPERM (told on standard error).
int CheckTempFallback() {
    const std::string folder = TempFallbackFolder();
    for (const std::string& dir : {folder, folder + "/serialcomm"}) {
        std::string reason;
        const int rc = CheckPrivateFolder(dir, reason);
        if (rc == ENOENT) return rc;
        if (rc != 0) {
            TellOnce(dir, reason);
            return rc;
        }
    }
    return 0;
}

}  // namespace

std::string RuntimeMapDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') {
        return std::string(runtime) + "/corvane/serialcomm";
    }
    return TempFallbackFolder() + "/serialcomm";
}

std::string OverrideMapDirectory() {
    const char* dir = std::getenv("CORVANE_SERIALCOMM");
    return dir != nullptr ? std::string(dir) : std::string();
}

std::string AnnounceDirectory() {
    std::string dir = OverrideMapDirectory();
    return dir.empty() ? RuntimeMapDirectory() : dir;
}

int ReadMapDirectory(const std::string& dir, bool missingIsEmpty, std::vector<std::string>& ports) {
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
    if (!d) {
        if (errno == ENOENT && missingIsEmpty) return 0;
        return errno;
    }
    std::vector<std::string> found;
    for (;;) {
        errno = 0;
        dirent* e = readdir(d.get());
        if (e == nullptr) {
            if (errno != 0) return errno;
            break;
        }
        const std::string name = e->d_name;
        // Dot entries include the half-made links of an announcement in progress.
        if (name.empty() || name[0] == '.') continue;
        char target[kMaxPortName];
        ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target);
        // An entry withdrawn between readdir and readlink is simply gone: the
        // port left, which is no reason to fail the whole listing.
        if (n < 0 && errno == ENOENT) continue;
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) >= sizeof target) return ENAMETOOLONG;
        found.emplace_back(target, static_cast<std::size_t>(n));
    }
    ports.insert(ports.end(), found.begin(), found.end());
    return 0;
}

int ReadDeviceMap(std::vector<std::string>& ports) {
    std::vector<std::string> found;
    const std::string overrideDir = OverrideMapDirectory();
    if (!overrideDir.empty()) {
        if (int rc = ReadMapDirectory(overrideDir, false, found)) return rc;
    } else {
        ReadSysfsPorts(found);
        // A fallback folder that is not privately ours is treated as empty.
        if (!UsesTempFallback() || CheckTempFallback() == 0) {
            if (int rc = ReadMapDirectory(RuntimeMapDirectory(), true, found)) return rc;
        }
    }
    ports = std::move(found);
    return 0;
}

std::optional<int> ComparePortNames(const std::string& a, const std::string& b) {
    // Letters a to z fold to upper case; every other byte is itself.
    auto upper = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'a' && u <= 'z' ? u - ('a' - 'A') : u;
    };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (upper(a[i]) != upper(b[i])) return upper(a[i]) < upper(b[i]) ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int AnnouncePort(const std::string& dir, const std::string& name, const std::string& portPath) {
    if (UsesTempFallback() && dir == RuntimeMapDirectory()) {
        // Made private (0700) when it is not there; announced into only
        // when it is ours alone.
        const std::string folder = TempFallbackFolder();
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (int rc = CheckTempFallback()) return rc;
    }
    if (int rc = MakeDirs(dir)) return rc;
    // Build the link under a hidden name, then rename it into place, so a
    // reader never sees a half-made entry.
    const std::string tmp = dir + "/." + name + "." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(portPath.c_str(), tmp.c_str()) != 0) return errno;
    if (rename(tmp.c_str(), (dir + "/" + name).c_str()) != 0) {
        int rc = errno;
        unlink(tmp.c_str());
        return rc;
    }
    return 0;
}

int WithdrawPort(const std::string& dir, const std::string& name) {
    if (unlink((dir + "/" + name).c_str()) != 0) return errno;
    return 0;
}

}  // namespace corvane::device
