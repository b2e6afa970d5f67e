// Which listed ports a scan may open, on Windows. Windows itself refuses a
// port that another program holds (the open fails with access denied) and
// has no consoles on serial ports, so only the user's settings leave ports
// out here: %APPDATA%\corvane\corvane.ini, section [Ports], keys ScanOnly and
// NeverScan, entries parted by blanks or commas, each a port name or a
// pattern with * and ?, matched without regard to letter case.

#include <windows.h>

#include <algorithm>
#include <exception>

#include "PortScreen.h"
#include "SettingsStore.h"
#include "Win32.h"
#include "device/ComDevice.h"

namespace corvane {

namespace {

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

// * any run of characters, ? any one; letters match either case.
bool Glob(const char* pattern, const char* text) {
    for (; *pattern != '\0'; ++pattern, ++text) {
        if (*pattern == '*') {
            for (const char* rest = text;; ++rest) {
                if (Glob(pattern + 1, rest)) return true;
                if (*rest == '\0') return false;
            }
        }
        if (*text == '\0' || (*pattern != '?' && Upper(*pattern) != Upper(*text))) return false;
    }
    return *text == '\0';
}

bool MatchesAny(const std::vector<std::string>& entries, const std::string& port) {
    const std::string path = device::DevicePath(port);
    return std::any_of(entries.begin(), entries.end(), [&](const std::string& entry) {
        return Glob(entry.c_str(), port.c_str()) || Glob(entry.c_str(), path.c_str());
    });
}

}  // namespace

bool TPortRules::Excludes(const std::string& port) const {
    if (MatchesAny(NeverScan, port)) return true;
    return !ScanOnly.empty() && !MatchesAny(ScanOnly, port);
}

std::string PortSettingsFile() {
    const std::string appData = EnvironmentValue("APPDATA").value_or("");
    const std::string dir = !appData.empty() ? appData : ".";
    return dir + "\\corvane\\corvane.ini";
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
    for (TPortCheck& check : checks) {
        if (rules.Excludes(check.Port)) check.Verdict = TPortVerdict::Excluded;
    }
    return checks;
}

// Windows itself refuses a port that another program holds (access denied):
// the open tells, and there is nothing to look at before it.
std::vector<TPortCheck> CheckPorts(const std::vector<std::string>& ports, const TPortScreen& screen,
                                   std::string* settingsProblem) {
    return ScreenPorts(ports, screen, settingsProblem);
}

void CheckHolders(TPortCheck& /*check*/, const TPortScreen& /*screen*/) {}

std::string VerdictText(const TPortCheck& check) {
    switch (check.Verdict) {
        case TPortVerdict::Scan:
            return "scanned";
        case TPortVerdict::Excluded:
            return "excluded";
        case TPortVerdict::Absent:
            return "not there";
        case TPortVerdict::NotTerminal:
            return "not a serial port";
        case TPortVerdict::Console:
            return "console";
        case TPortVerdict::NoPermission:
            return "no permission";
        case TPortVerdict::Busy:
            return "busy (held by another program)";
    }
    return "";
}

std::string PermissionAdvice(const std::vector<TPortCheck>& /*refused*/) {
    return "";
}

}  // namespace corvane
