#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace corvane
