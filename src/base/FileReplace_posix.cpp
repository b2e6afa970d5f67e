#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "Exception.h"
#include "FileReplace.h"

namespace corvane {

namespace {

[[noreturn]] void RaiseSystem(int err) {
    throw EInOutError(err, std::strerror(err));
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Refuses with EACCES to follow the link that `link` describes, found in
// `folder`, where the system would not: in a folder that everyone may write
// to and that has the sticky bit, a link of anyone but this user or the
// folder's owner may have been planted to make a save overwrite a file of its
// owner's choosing.
void CheckLinkMayBeFollowed(const struct stat& link, const std::string& folder) {
    struct stat dir {};
    if (stat(folder.c_str(), &dir) != 0) RaiseSystem(errno);
    const bool shared = (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    if (shared && link.st_uid != geteuid() && link.st_uid != dir.st_uid) RaiseSystem(EACCES);
}

// The file a path names once every symbolic link on its last part is
// followed (a link may name a file that does not exist yet). Too many links
// in a row fail as the system does, with ELOOP.
std::string LinkTarget(std::string path) {
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        if (hops == 40) RaiseSystem(ELOOP);
        CheckLinkMayBeFollowed(st, FolderOf(path));
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = readlink(path.c_str(), link.data(), link.size());
        if (n < 0) RaiseSystem(errno);
        if (static_cast<std::size_t>(n) >= link.size()) RaiseSystem(ENAMETOOLONG);
        link.resize(static_cast<std::size_t>(n));
        path = link.empty() || link[0] == '/' ? link : FolderOf(path) + "/" + link;
    }
}

// Refuses, with the system's error, to replace a file that this user may not
// write: the new file goes in beside it and takes its name, which the folder's
// permission allows even when the file's own does not. A file without any
// write bit is refused to root too: it was made read-only to be kept.
void CheckMayWrite(const std::string& target, const struct stat& st) {
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) RaiseSystem(errno);
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) RaiseSystem(EACCES);
}

// A new file with a name of its own beside `target`, created with `mode`
// (less the process's file mask, which the system takes off); -1 with errno
// set when none can be made.
int CreateBeside(const std::string& target, mode_t mode, std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = FolderOf(target) + "/.corvane-save-";
        for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

void CheckReplaceable(const std::string& fileName) {
    const std::string target = LinkTarget(fileName);
    struct stat old {};
    if (stat(target.c_str(), &old) == 0) CheckMayWrite(target, old);
}

void ReplaceFileContents(const std::string& fileName, std::string_view text) {
    const std::string target = LinkTarget(fileName);
    struct stat old {};
    const bool replacing = stat(target.c_str(), &old) == 0;
    if (replacing) CheckMayWrite(target, old);

    // A file that replaces another is private until it has the old one's
    // mode; a new file is created with the mode it keeps.
    std::string temp;
    int fd = CreateBeside(target, replacing ? 0600 : 0666, temp);
    if (fd < 0) RaiseSystem(errno);
    auto fail = [&](int err) {
        if (fd >= 0) close(fd);
        unlink(temp.c_str());
        RaiseSystem(err);
    };
    // Never the set-user-ID, set-group-ID or sticky bit: a chip's contents are
    // no program to run with its owner's rights.
    if (replacing && fchmod(fd, old.st_mode & 0777) != 0) fail(errno);

    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    if (fsync(fd) != 0 && errno != EINVAL) fail(errno);
    const int rc = close(fd);
    fd = -1;
    if (rc != 0) fail(errno);
    if (rename(temp.c_str(), target.c_str()) != 0) fail(errno);
}

}  // namespace corvane
