#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Which of the listed serial ports a scan may open, and why not the others.
//
// A scan opens a port only to greet it, and opening a port raises DTR and
// RTS (which resets many development boards). So it leaves alone the
// system's consoles, ports that another process holds open, ports that the
// user's settings exclude, and ports it may not open or that are no
// terminals. Nothing here opens a port.
namespace corvane {

enum class TPortVerdict : std::uint8_t {
    Scan,          // the scan may open it
    Excluded,      // the user's settings leave it out
    Absent,        // the listed device is not there
    NotTerminal,   // the listed name is no terminal device
    Console,       // the system writes its console messages to it
    NoPermission,  // this user may not open it
    Busy           // another process holds it open
};

struct TPortCheck {
    std::string Port;  // the name as listed
    TPortVerdict Verdict = TPortVerdict::Scan;
    int Error = 0;               // the system's error number, where one was met
    std::vector<pid_t> Holders;  // for Busy: the processes that hold it
};

// The user's choice of ports, from the [Ports] section of the settings file:
//   ScanOnly=/dev/ttyUSB* /dev/ttyACM*   only these are scanned (when given)
//   NeverScan=/dev/ttyS0                  these never are
// Entries are separated by blanks or commas; each is a port name, a device
// path or a shell pattern (* ? [...]). A pattern without a slash also
// matches the device's own name (ttyUSB* matches /dev/ttyUSB0). An entry
// without a pattern also matches another name of the same device (a link
// under /dev/serial/by-id names its ttyUSB device).
struct TPortRules {
    std::vector<std::string> ScanOnly;
    std::vector<std::string> NeverScan;

    bool Excludes(const std::string& port) const;
};

// $XDG_CONFIG_HOME/corvane/corvane.ini, or ~/.config/corvane/corvane.ini.
std::string PortSettingsFile();

// Reads the rules from an INI file (a file that does not exist gives none).
// Raises the settings storage's errors when the file cannot be read.
TPortRules LoadPortRules(const std::string& fileName);

// How the ports are screened. Unset parts are read from the system at each
// check, so a changed settings file counts from the next scan on.
struct TPortScreen {
    // Off: every listed port is tried, as for a port that the user named.
    bool Enabled = true;
    // The console names (ttyS0 ...); unset: the kernel's list.
    std::optional<std::vector<std::string>> Consoles;
    // The settings file; unset: PortSettingsFile().
    std::optional<std::string> SettingsFile;
};

// Checks each port, in order, with one look at the other processes for all
// of them. A settings file that cannot be read excludes nothing; its
// problem is given in `settingsProblem` when asked for.
std::vector<TPortCheck> CheckPorts(const std::vector<std::string>& ports, const TPortScreen& screen,
                                   std::string* settingsProblem = nullptr);
// The same without the look at the other processes: a scan makes that for
// each port just before it opens it (CheckHolders), since a port may be
// taken by another program while the scan is busy with the ports before it.
std::vector<TPortCheck> ScreenPorts(const std::vector<std::string>& ports,
                                    const TPortScreen& screen,
                                    std::string* settingsProblem = nullptr);
// Looks now whether another process holds a port that the screening left to
// the scan; if one does, the port is Busy, with its holders.
void CheckHolders(TPortCheck& check, const TPortScreen& screen);

// "scanned", "console", "busy (held by process 1234)", "excluded",
// "no permission (Permission denied)", "not a terminal", "not there (...)".
std::string VerdictText(const TPortCheck& check);

// For ports refused for lack of permission: which ports, the system's
// message, and what fixes it (membership of the group that owns the device,
// then logging in again). Empty when `refused` holds no such port.
std::string PermissionAdvice(const std::vector<TPortCheck>& refused);

}  // namespace corvane
