#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DurableFile.h"
#include "Exception.h"
#include "FileReplace.h"

namespace corvane::station {

void ReplaceDurably(const std::string& path, std::string_view text) {
    // Written beside it, synced and renamed into place.
    ReplaceFileContents(path, text);
    SyncFolderOf(path);
}

void SyncFolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw EInOutError(errno, std::strerror(errno));
    // A file system that cannot sync a folder (EINVAL) keeps its names as it can.
    const int rc = fsync(fd);
    const int err = errno;
    close(fd);
    if (rc != 0 && err != EINVAL) throw EInOutError(err, std::strerror(err));
}

}  // namespace corvane::station
