#include "PortScreen.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "PortUsage.h"
#include "SettingsStore.h"
#include "device/ComDevice.h"

namespace corvane {

namespace {

bool HasPattern(const std::string& entry) {
    return entry.find_first_of("*?[") != std::string::npos;
}

bool SameDevice(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && S_ISCHR(sa.st_mode) &&
           S_ISCHR(sb.st_mode) && sa.st_rdev == sb.st_rdev;
}

bool Matches(const std::string& entry, const std::string& port) {
    const std::string path = device::DevicePath(port);
    const std::string base = path.substr(path.rfind('/') + 1);
    if (!HasPattern(entry)) {
        return entry == port || entry == path || device::DevicePath(entry) == path ||
               SameDevice(device::DevicePath(entry), path);
    }
    const bool slash = entry.find('/') != std::string::npos;
    auto match = [&entry](const std::string& text) {
        return fnmatch(entry.c_str(), text.c_str(), FNM_PATHNAME) == 0;
    };
    return match(port) || match(path) || (!slash && match(base));
}

bool MatchesAny(const std::vector<std::string>& entries, const std::string& port) {
    return std::any_of(entries.begin(), entries.end(),
                       [&port](const std::string& e) { return Matches(e, port); });
}

// Whether a character device is a terminal, asked of sysfs without opening
// it; a system without that answer counts it as one (the open still checks).
bool IsTerminalDevice(dev_t rdev) {
    char link[256];
    const std::string path = "/sys/dev/char/" + std::to_string(major(rdev)) + ":" +
                             std::to_string(minor(rdev)) + "/subsystem";
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) return true;
    const std::string_view target(link, static_cast<std::size_t>(n));
    return target.size() >= 4 && target.substr(target.size() - 4) == "/tty";
}

std::string GroupName(gid_t gid) {
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return found->gr_name;
    }
    return std::to_string(gid);
}

std::string UserName() {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "$USER";
}

}  // namespace

bool TPortRules::Excludes(const std::string& port) const {
    if (MatchesAny(NeverScan, port)) return true;
    return !ScanOnly.empty() && !MatchesAny(ScanOnly, port);
}

std::string PortSettingsFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/corvane/corvane.ini";
    const char* home = std::getenv("HOME");
    std::string dir = home != nullptr && home[0] != '\0' ? home : "";
    if (dir.empty()) {
        passwd entry{};
        passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found) {
            dir = found->pw_dir;
        }
    }
    return dir + "/.config/corvane/corvane.ini";
}

std::vector<TPortCheck> ScreenPorts(const std::vector<std::string>& ports,
                                    const TPortScreen& screen, std::string* settingsProblem) {
    std::vector<TPortCheck> checks;
    checks.reserve(ports.size());
    for (const std::string& port : ports) checks.push_back({port, TPortVerdict::Scan, 0, {}});
    if (!screen.Enabled || ports.empty()) return checks;

    const std::string fileName = screen.SettingsFile.value_or(PortSettingsFile());
    TPortRules rules;
    try {
        rules = LoadPortRules(fileName);
    } catch (const std::exception& e) {
        // A settings file that cannot be read must not stop the search.
        if (settingsProblem != nullptr) *settingsProblem = fileName + ": " + e.what();
    }
    const std::vector<std::string> consoles =
        screen.Consoles ? *screen.Consoles : device::ReadConsoleNames();

    for (TPortCheck& check : checks) {
        const std::string path = device::DevicePath(check.Port);
        struct stat st {};
        if (rules.Excludes(check.Port)) {
            check.Verdict = TPortVerdict::Excluded;
        } else if (stat(path.c_str(), &st) != 0) {
            check.Verdict = TPortVerdict::Absent;
            check.Error = errno;
        } else if (!S_ISCHR(st.st_mode) || !IsTerminalDevice(st.st_rdev)) {
            check.Verdict = TPortVerdict::NotTerminal;
        } else if (device::IsConsolePort(path, consoles)) {
            check.Verdict = TPortVerdict::Console;
        } else if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
            check.Verdict = TPortVerdict::NoPermission;
            check.Error = errno;
        }
    }
    return checks;
}

namespace {

void MarkHolders(TPortCheck& check, const TPortScreen& screen,
                 std::optional<device::TPortUsage>& usage) {
    if (!screen.Enabled || check.Verdict != TPortVerdict::Scan) return;
    if (!usage) usage = device::TPortUsage::Take();
    check.Holders = usage->Holders(device::DevicePath(check.Port));
    if (!check.Holders.empty()) check.Verdict = TPortVerdict::Busy;
}

}  // namespace

std::vector<TPortCheck> CheckPorts(const std::vector<std::string>& ports, const TPortScreen& screen,
                                   std::string* settingsProblem) {
    std::vector<TPortCheck> checks = ScreenPorts(ports, screen, settingsProblem);
    std::optional<device::TPortUsage> usage;
    for (TPortCheck& check : checks) MarkHolders(check, screen, usage);
    return checks;
}

void CheckHolders(TPortCheck& check, const TPortScreen& screen) {
    std::optional<device::TPortUsage> usage;
    MarkHolders(check, screen, usage);
}

std::string VerdictText(const TPortCheck& check) {
    switch (check.Verdict) {
        case TPortVerdict::Scan:
            return "scanned";
        case TPortVerdict::Excluded:
            return "excluded";
        case TPortVerdict::Absent:
            return "not there (" + std::string(std::strerror(check.Error)) + ")";
        case TPortVerdict::NotTerminal:
            return "not a terminal";
        case TPortVerdict::Console:
            return "console";
        case TPortVerdict::NoPermission:
            return "no permission (" + std::string(std::strerror(check.Error)) + ")";
        case TPortVerdict::Busy: {
            if (check.Holders.empty()) {
                return check.Error != 0 ? "busy (" + std::string(std::strerror(check.Error)) + ")"
                                        : "busy";
            }
            std::string text =
                check.Holders.size() == 1 ? "busy (held by process" : "busy (held by processes";
            for (std::size_t i = 0; i < check.Holders.size(); ++i) {
                text += (i == 0 ? " " : ", ") + std::to_string(check.Holders[i]);
            }
            return text + ")";
        }
    }
    return "";
}

std::string PermissionAdvice(const std::vector<TPortCheck>& refused) {
    std::string ports;
    std::vector<std::string> groups;
    for (const TPortCheck& check : refused) {
        if (check.Verdict != TPortVerdict::NoPermission) continue;
        const std::string path = device::DevicePath(check.Port);
        ports += path + ": " + std::strerror(check.Error) + "\n";
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && st.st_gid != 0) {
            const std::string name = GroupName(st.st_gid);
            if (std::find(groups.begin(), groups.end(), name) == groups.end()) {
                groups.push_back(name);
            }
        }
    }
    if (ports.empty()) return "";
    // A device of root's own group names no group to join; the ports of
    // serial adapters commonly belong to dialout.
    const bool guessed = groups.empty();
    if (guessed) groups.push_back("dialout");
    std::string names, commands;
    for (const std::string& g : groups) {
        names += (names.empty() ? "\"" : ", \"") + g + "\"";
        commands += (commands.empty() ? "" : "; ") + ("sudo usermod -aG " + g + " " + UserName());
    }
    return ports + "Serial ports may be opened by the members of the group that owns them (" +
           names + (guessed ? " on most systems" : "") + "). Add this user to it (" + commands +
           "), then log out and in again: a new group membership counts from the next login.";
}

}  // namespace corvane
