#pragma once

// Other users of a port, as a real machine has them: a second process that
// holds the port open, a second process that is the device side of its own
// pseudo-terminal, and a user who may not open the port.
//
// The child processes only make system calls between fork and _exit, so
// they are safe to start from a test process that runs threads.

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

namespace corvane::test {

// A second process that runs until this object goes. The child runs `body`,
// which reports an int through the pipe (or -errno), then waits until the
// pipe to it is closed.
class ChildProcess {
public:
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (FToChild >= 0) close(FToChild);
        if (FPid > 0) {
            int status = 0;
            while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    pid_t Pid() const { return FPid; }

protected:
    template <typename TBody>
    int Start(TBody body) {
        int up[2], down[2];
        if (pipe2(up, O_CLOEXEC) != 0 || pipe2(down, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        FPid = fork();
        if (FPid < 0) throw std::system_error(errno, std::generic_category(), "fork");
        if (FPid == 0) {
            // Nothing of the test's own goes with the child (such as the
            // master side of the test's pseudo-terminals).
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != up[1] && fd != down[0]) close(fd);
            }
            const int report = body();
            (void)!write(up[1], &report, sizeof report);
            char c;
            while (read(down[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        FToChild = down[1];
        int report = -EIO;
        if (read(up[0], &report, sizeof report) != sizeof report) report = -EIO;
        close(up[0]);
        return report;
    }

    ChildProcess() = default;

private:
    pid_t FPid = -1;
    int FToChild = -1;
};

// A second process that holds `path` open (as a terminal program holds its port).
class HeldOpen : public ChildProcess {
public:
    explicit HeldOpen(const std::string& path) {
        const char* p = path.c_str();
        const int rc = Start([p] {
            const int fd = open(p, O_RDWR | O_NOCTTY | O_NONBLOCK);
            return fd >= 0 ? 0 : -errno;
        });
        if (rc != 0) throw std::system_error(-rc, std::generic_category(), "held open " + path);
    }
};

// A second process that holds the master side of a pseudo-terminal and its
// slave side as well, as a virtual programmer does.
class PtyOwner : public ChildProcess {
public:
    PtyOwner() {
        const int index = Start([] {
            const int master = open("/dev/ptmx", O_RDWR | O_NOCTTY);
            if (master < 0) return -errno;
            int unlock = 0, n = -1;
            if (ioctl(master, TIOCSPTLCK, &unlock) != 0 || ioctl(master, TIOCGPTN, &n) != 0) {
                return -errno;
            }
            if (ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY) < 0) return -errno;
            return n;
        });
        if (index < 0) throw std::system_error(-index, std::generic_category(), "pty owner");
        FPath = "/dev/pts/" + std::to_string(index);
    }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

// While it lives, the calling thread may not open `path`. As root the
// thread's file-system identity becomes nobody's (root's override of file
// permissions goes with it); otherwise the device's permissions are taken
// away. Directories the thread must still read have to be open to all.
class NoAccess {
public:
    explicit NoAccess(const std::string& path) : FPath(path) {
        if (geteuid() == 0) {
            setfsgid(65534);
            setfsuid(65534);
            FAsRoot = true;
        } else {
            struct stat st {};
            if (stat(path.c_str(), &st) != 0)
                throw std::system_error(errno, std::generic_category());
            FMode = st.st_mode & 07777;
            chmod(path.c_str(), 0);
        }
    }
    ~NoAccess() {
        if (FAsRoot) {
            setfsuid(0);
            setfsgid(0);
        } else {
            chmod(FPath.c_str(), FMode);
        }
    }
    NoAccess(const NoAccess&) = delete;
    NoAccess& operator=(const NoAccess&) = delete;

private:
    std::string FPath;
    bool FAsRoot = false;
    mode_t FMode = 0;
};

}  // namespace corvane::test
