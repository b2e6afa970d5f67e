#pragma once

#include <optional>
#include <string>
#include <vector>

// The system's list of serial ports on this platform.
//
// On Windows it is the registry key HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM:
// each text value's data is a port name; a machine without serial ports has
// no such key, which is an empty list (DeviceMap_win.cpp).
//
// On Linux (DeviceMap_posix.cpp) it is normally the hardware ports that sysfs
// lists (as /dev/NAME) together with the entries of the runtime directory,
// where virtual programmers announce their ports. With CORVANE_SERIALCOMM set
// to a directory, that directory alone is the map. An entry of a map
// directory is a symbolic link: its name is the entry's name, its target (as
// readlink gives it) is the port name. The map directories are Linux's only:
// the functions that name them are not there on Windows.
namespace corvane::device {

// Longest port name an entry may hold, terminating NUL included.
inline constexpr std::size_t kMaxPortName = 256;

// Windows: while set, this process's map is `ports` (names as they are,
// such as COM7 or \\.\COM12) instead of the registry's; nullopt gives the
// registry's again. Linux sets a map of its own with CORVANE_SERIALCOMM.
void SetProcessMap(std::optional<std::vector<std::string>> ports);

// Reads the port names of the map, unsorted. Returns 0, or the system error
// number (the registry's result code on Windows) when the map cannot be read
// or an entry does not fit; `ports` is only written on success.
int ReadDeviceMap(std::vector<std::string>& ports);

// The system's order of port names: as text, without regard to letter case
// (COM10 before COM2, com3 between COM2 and COM4). Negative, 0 or positive;
// nullopt when the system cannot compare them.
std::optional<int> ComparePortNames(const std::string& a, const std::string& b);

// $XDG_RUNTIME_DIR/corvane/serialcomm, or, without a runtime directory,
// corvane-UID/serialcomm in the temporary folder ($TMPDIR or /tmp). That
// fallback is made with mode 0700 and is read and announced into only while
// it belongs to this user and no one else may write to it; otherwise it
// counts as empty and the reason goes to standard error once.
std::string RuntimeMapDirectory();

// The directory that CORVANE_SERIALCOMM names, or an empty text when unset.
std::string OverrideMapDirectory();

// Where a virtual programmer announces its port: the override when set,
// otherwise the runtime directory.
std::string AnnounceDirectory();

// Reads the entries of one map directory, appending their port names. A
// directory that does not exist is an error (ENOENT) unless `missingIsEmpty`.
int ReadMapDirectory(const std::string& dir, bool missingIsEmpty, std::vector<std::string>& ports);

// Creates (or replaces) the entry `name` in `dir`, pointing at `portPath`;
// creates the directory when needed. Returns 0 or the system error number.
int AnnouncePort(const std::string& dir, const std::string& name, const std::string& portPath);

// Removes the entry again. Returns 0 or the system error number.
int WithdrawPort(const std::string& dir, const std::string& name);

}  // namespace corvane::device
