#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "Exception.h"
#include "TextFile.h"

namespace corvane {

namespace {

[[noreturn]] void RaiseFileError(int err) {
    throw EInOutError(err, std::generic_category().message(err));
}

class TFd {
public:
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() {
        if (FFd >= 0) close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    // Closes now, reporting the result, so that a failed close is not lost.
    int Close() {
        const int rc = close(FFd);
        FFd = -1;
        return rc;
    }

private:
    int FFd;
};

}  // namespace

bool ReadTextFile(const std::string& FileName, std::string& Text) {
    Text.clear();
    TFd fd(open(FileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT) return false;
        RaiseFileError(errno);
    }
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            RaiseFileError(errno);
        }
        if (n == 0) break;
        Text.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

void ReplaceTextFile(const std::string& FileName, const std::string& Text) {
    // Replace the file the name leads to, not a symbolic link standing for it.
    std::string target = FileName;
    if (char* resolved = realpath(FileName.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    struct stat old {};
    const bool existed = stat(target.c_str(), &old) == 0;

    std::string temp;
    int fdNumber = -1;
    for (unsigned attempt = 0; fdNumber < 0; ++attempt) {
        temp = target + ".tmp" + std::to_string(getpid()) + "." + std::to_string(attempt);
        fdNumber = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fdNumber < 0 && (errno != EEXIST || attempt > 100)) RaiseFileError(errno);
    }
    TFd fd(fdNumber);
    auto fail = [&temp](int err) {
        unlink(temp.c_str());
        RaiseFileError(err);
    };
    if (existed && fchmod(fd.Get(), old.st_mode & 07777) != 0) fail(errno);
    std::size_t done = 0;
    while (done < Text.size()) {
        const ssize_t n = write(fd.Get(), Text.data() + done, Text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd.Get()) != 0) fail(errno);
    if (fd.Close() != 0) fail(errno);
    if (rename(temp.c_str(), target.c_str()) != 0) fail(errno);
}

}  // namespace corvane
