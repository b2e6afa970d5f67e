#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Exception.h"
#include "FileAppend.h"

namespace corvane {

namespace {

[[noreturn]] void RaiseSystem(int err) {
    throw EInOutError(err, std::strerror(err));
}

}  // namespace

TAppendFile::TAppendFile(const std::string& fileName) {
    const int fd = open(fileName.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) RaiseSystem(errno);
    FHandle = fd;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        FHandle = -1;
        if (err == EWOULDBLOCK) throw EInOutError(err, "in use by another program");
        RaiseSystem(err);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        FHandle = -1;
        RaiseSystem(err);
    }
    FInitialSize = static_cast<std::uint64_t>(st.st_size);
    char last = '\n';
    if (S_ISREG(st.st_mode) && FInitialSize > 0 && pread(fd, &last, 1, st.st_size - 1) != 1)
        last = 0;
    FEndedInLineEnd = last == '\n';
}

TAppendFile::~TAppendFile() {
    if (FHandle >= 0) close(static_cast<int>(FHandle));
}

void TAppendFile::Append(std::string_view text) {
    const int fd = static_cast<int>(FHandle);
    // The file is held by this process alone: its end is where this record begins.
    const off_t before = lseek(fd, 0, SEEK_END);
    if (before < 0) RaiseSystem(errno);
    auto cutBack = [&](int err) {
        while (ftruncate(fd, before) != 0 && errno == EINTR) {
        }
        fsync(fd);
        RaiseSystem(err);
    };
    // One write for the whole record: a process that is killed leaves all of
    // it or none.
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            cutBack(errno);
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    if (fsync(fd) != 0 && errno != EINVAL) cutBack(errno);
}

}  // namespace corvane
