#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

// Who else uses a serial port on this machine: the system's consoles and the
// other processes that hold a port open. A scan of the ports leaves both
// alone; nothing here opens a port.
namespace corvane::device {

// The consoles the kernel writes to (the names of /proc/consoles and of
// /sys/class/tty/console/active, such as "ttyS0"), each once.
std::vector<std::string> ReadConsoleNames();

// Whether `path` is the device of one of the console names (a name that is
// not a path is a device under /dev). Compared by device number, so a link
// such as /dev/serial0 to the console's device is the console too.
bool IsConsolePort(const std::string& path, const std::vector<std::string>& consoles);

// One look at the open descriptors of every process that this user may look
// at (the others cannot be seen), this process left out.
//
// The process that holds the master side of a pseudo-terminal is the device,
// not a user of it: a slave descriptor held by that same process (a virtual
// programmer keeps one to keep its line up) does not count.
class TPortUsage {
public:
    static TPortUsage Take();

    // The processes, other than this one, that hold the character device
    // `rdev` open (as users, see above).
    std::vector<pid_t> Holders(dev_t rdev) const;
    // The same for the device at `path`; none when it cannot be looked at.
    std::vector<pid_t> Holders(const std::string& path) const;

    // The processes whose descriptors could not be looked at (another
    // user's, unless this one is root).
    std::size_t Hidden() const { return FHidden; }

private:
    // Character devices held open: device number -> holders.
    std::map<dev_t, std::set<pid_t>> FHeld;
    // Pseudo-terminal index -> processes holding its master side.
    std::map<int, std::set<pid_t>> FMasters;
    std::size_t FHidden = 0;
};

// The index of a pseudo-terminal slave device (/dev/pts/N is N), or -1.
int PtyIndex(dev_t rdev);

}  // namespace corvane::device
