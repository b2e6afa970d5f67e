#pragma once

// Included ahead of UHexFile.cpp in the Windows build only, until the HEX
// file's reading and its atomic save have Windows files of their own (the
// save with ReplaceFileW/MoveFileExW). Reading works as on POSIX, in binary
// mode; the save fails with ENOSYS before it touches any file.

#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L  // localtime_r

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

// Every open of UHexFile.cpp passes O_CLOEXEC: the file is then read in
// binary mode (CR LF as it is) and not inherited.
#define O_CLOEXEC (_O_BINARY | _O_NOINHERIT)
#define S_ISLNK(mode) 0

inline int lstat(const char* path, struct stat* st) {
    return stat(path, st);
}
inline int readlink(const char*, char*, size_t) {
    errno = EINVAL;
    return -1;
}
inline int mkostemp(char*, int) {
    errno = ENOSYS;
    return -1;
}
inline int fchmod(int, mode_t) {
    errno = ENOSYS;
    return -1;
}
inline int fsync(int) {
    errno = ENOSYS;
    return -1;
}
