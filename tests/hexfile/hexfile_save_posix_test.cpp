// Loading and saving HEX files where POSIX shows what can go wrong: a full
// disk, a folder without write permission, symbolic links.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "HexFileFixture.h"

namespace corvane::test {
namespace {

TEST_F(HexFileTest, LoadOfAMissingFileRaisesTheSystemErrorAndLeavesTheImage) {
    image.SetMemSize(4);
    image.Fill(0x55);
    try {
        image.LoadHex((dir / "missing.hex").string());
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), ENOENT);
        EXPECT_STREQ(e.what(), std::strerror(ENOENT));
    }
    EXPECT_EQ(image.GetByte(0), 0x55);
}

TEST_F(HexFileTest, SaveThatFailsMidWayKeepsTheOldFile) {
    const std::string path = Write("old.hex", "precious");
    THexFile big;
    big.SetMemSize(65535);
    big.Clear();
    // A file size limit makes the write fail part of the way through, as a
    // full disk would.
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    int code = 0;
    try {
        big.SaveHex(path);
    } catch (const EInOutError& e) {
        code = e.ErrorCode();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(code, EFBIG);
    EXPECT_EQ(Read(path), "precious");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(HexFileTest, SaveIntoAReadOnlyFolderRaisesTheSystemError) {
    const std::string path = Write("kept.hex", "kept");
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    // Root ignores folder permissions, so the save runs as an unprivileged
    // user in a child process when the test runs as root.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(10);
        THexFile one;
        one.SetMemSize(1);
        try {
            one.SaveHex(path);
        } catch (const EInOutError& e) {
            _exit(e.ErrorCode() == EACCES && std::string(e.what()) == std::strerror(EACCES) ? 0
                                                                                            : 11);
        } catch (...) {
            _exit(12);
        }
        _exit(13);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Read(path), "kept");
}

// Saving through a symbolic link writes the file the link names, in that
// file's folder, and keeps its mode; the link stays a link. Relative and
// absolute links, a chain of two, and a link to a file not yet there.
TEST_F(HexFileTest, SaveThroughALinkWritesTheFileItNamesAndKeepsItsMode) {
    struct Case {
        const char* what;
        bool relative;
        bool chain;
        bool targetExists;
    } cases[] = {
        {"absolute link", false, false, true},
        {"relative link", true, false, true},
        {"link to a link", true, true, true},
        {"link to a file not yet there", false, false, false},
    };
    THexFile one;
    one.SetMemSize(1);
    one.SetByte(0, 0x5A);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path real = dir / "real";
        const fs::path links = dir / "links";
        fs::remove_all(real);
        fs::remove_all(links);
        fs::create_directories(real);
        fs::create_directories(links);
        const fs::path target = real / "chip.hex";
        if (c.targetExists) {
            std::ofstream(target) << "old";
            ASSERT_EQ(chmod(target.c_str(), 0640), 0);
        }
        const fs::path first = c.relative ? fs::path("../real/chip.hex") : target;
        fs::path link = links / "chip.hex";
        fs::create_symlink(first, link);
        if (c.chain) {
            fs::create_symlink("chip.hex", links / "again.hex");
            link = links / "again.hex";
        }
        one.SaveHex(link.string());
        EXPECT_TRUE(fs::is_symlink(links / "chip.hex"));
        EXPECT_EQ(fs::read_symlink(links / "chip.hex"), first);
        EXPECT_NE(Read(target.string()).find(":010000005AA5\r\n"), std::string::npos);
        struct stat st {};
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        if (c.targetExists) {
            EXPECT_EQ(st.st_mode & 07777, 0640u);
        }
        // No temporary left behind in either folder.
        EXPECT_EQ(std::distance(fs::directory_iterator(real), fs::directory_iterator()), 1);
        EXPECT_EQ(std::distance(fs::directory_iterator(links), fs::directory_iterator()),
                  c.chain ? 2 : 1);
    }
}

TEST_F(HexFileTest, SaveThroughALinkLoopRaisesTheSystemError) {
    fs::create_symlink("b.hex", dir / "a.hex");
    fs::create_symlink("a.hex", dir / "b.hex");
    THexFile one;
    one.SetMemSize(1);
    int code = 0;
    try {
        one.SaveHex((dir / "a.hex").string());
    } catch (const EInOutError& e) {
        code = e.ErrorCode();
    }
    EXPECT_EQ(code, ELOOP);
    EXPECT_TRUE(fs::is_symlink(dir / "a.hex"));
}

}  // namespace
}  // namespace corvane::test
