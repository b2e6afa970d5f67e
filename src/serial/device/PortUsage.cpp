#include "PortUsage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace corvane::device {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using TDir = std::unique_ptr<DIR, DirCloser>;

// The major numbers of pseudo-terminal slaves: 136 and the seven after it.
constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;

bool AllDigits(const char* s) {
    if (*s == '\0') return false;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

std::string ConsolePath(const std::string& name) {
    return !name.empty() && name[0] == '/' ? name : "/dev/" + name;
}

// The terminal index that a pseudo-terminal master's fdinfo names, or -1.
int MasterIndex(const std::string& fdinfo) {
    std::ifstream in(fdinfo);
    std::string line;
    constexpr std::string_view kKey = "tty-index:";
    while (std::getline(in, line)) {
        if (line.compare(0, kKey.size(), kKey) == 0) {
            return std::atoi(line.c_str() + kKey.size());
        }
    }
    return -1;
}

void AddOnce(std::vector<std::string>& names, const std::string& name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
    }
}

}  // namespace

std::vector<std::string> ReadConsoleNames() {
    std::vector<std::string> names;
    std::ifstream consoles("/proc/consoles");
    std::string line;
    while (std::getline(consoles, line)) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        AddOnce(names, name);
    }
    std::ifstream active("/sys/class/tty/console/active");
    std::string name;
    while (active >> name) AddOnce(names, name);
    return names;
}

bool IsConsolePort(const std::string& path, const std::vector<std::string>& consoles) {
    struct stat port {};
    const bool portIsDevice = stat(path.c_str(), &port) == 0 && S_ISCHR(port.st_mode);
    for (const std::string& name : consoles) {
        const std::string console = ConsolePath(name);
        if (console == path) return true;
        struct stat st {};
        if (portIsDevice && stat(console.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == port.st_rdev) {
            return true;
        }
    }
    return false;
}

int PtyIndex(dev_t rdev) {
    const unsigned maj = major(rdev);
    if (maj < kPtySlaveMajor || maj >= kPtySlaveMajor + kPtySlaveMajors) return -1;
    return static_cast<int>((maj - kPtySlaveMajor) * 256 + minor(rdev));
}

TPortUsage TPortUsage::Take() {
    TPortUsage usage;
    TDir proc(opendir("/proc"));
    if (!proc) return usage;
    const pid_t self = getpid();
    while (dirent* p = readdir(proc.get())) {
        if (!AllDigits(p->d_name)) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(p->d_name));
        if (pid == self) continue;
        const std::string base = std::string("/proc/") + p->d_name;
        TDir fds(opendir((base + "/fd").c_str()));
        if (!fds) {
            // Gone meanwhile, or another user's.
            if (errno == EACCES || errno == EPERM) ++usage.FHidden;
            continue;
        }
        // Names relative to the open directory: no path lookup per descriptor.
        const int dir = dirfd(fds.get());
        while (dirent* f = readdir(fds.get())) {
            if (!AllDigits(f->d_name)) continue;
            char target[256];
            const ssize_t n = readlinkat(dir, f->d_name, target, sizeof target - 1);
            // Only devices matter; sockets, pipes and files are passed over
            // without a further system call.
            if (n < 5 || std::string_view(target, 5) != "/dev/") continue;
            const std::string_view link(target, static_cast<std::size_t>(n));
            if (link == "/dev/ptmx" || link == "/dev/pts/ptmx") {
                const int index = MasterIndex(base + "/fdinfo/" + f->d_name);
                if (index >= 0) usage.FMasters[index].insert(pid);
                continue;
            }
            struct stat st {};
            if (fstatat(dir, f->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode)) {
                usage.FHeld[st.st_rdev].insert(pid);
            }
        }
    }
    return usage;
}

std::vector<pid_t> TPortUsage::Holders(dev_t rdev) const {
    std::vector<pid_t> holders;
    const auto held = FHeld.find(rdev);
    if (held == FHeld.end()) return holders;
    const int index = PtyIndex(rdev);
    const auto masters = index >= 0 ? FMasters.find(index) : FMasters.end();
    for (pid_t pid : held->second) {
        if (masters != FMasters.end() && masters->second.contains(pid)) continue;
        holders.push_back(pid);
    }
    return holders;
}

std::vector<pid_t> TPortUsage::Holders(const std::string& path) const {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return {};
    return Holders(st.st_rdev);
}

}  // namespace corvane::device
