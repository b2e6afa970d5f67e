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

// The file's contents; false when it does not exist and that is no error.
bool Read(const std::string& fileName, std::string& text, bool missingIsError) {
    text.clear();
    TFd fd(open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT && !missingIsError) return false;
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
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool ReadTextFile(const std::string& FileName, std::string& Text) {
    return Read(FileName, Text, false);
}

std::string ReadWholeFile(const std::string& fileName) {
    std::string text;
    Read(fileName, text, true);
    return text;
}

}  // namespace corvane
