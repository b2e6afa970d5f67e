// The Read workflow's save where the file system refuses it: a folder that is
// read-only for the user, a full disk, a link planted in a shared folder. The
// error carries the system's message and the file that was there stays as it
// was. The settings file is saved the same way.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>
#include <csignal>

#include "HardeningSupport.h"
#include "SettingsStore.h"

// Every change of the process's file mask made in this program is counted: a
// save that set it, even for a moment, would give a file that another thread
// creates meanwhile the wrong mode.
static std::atomic<int> gUmaskCalls{0};
extern "C" mode_t umask(mode_t mask) noexcept {
    ++gUmaskCalls;
    return static_cast<mode_t>(syscall(SYS_umask, mask));
}

namespace corvane::test {
namespace {

namespace fs = std::filesystem;

const std::string kExisting = ":00000001FF\n; the file that was there\n";

// Runs a whole Read of an 89C51 into `file` on a board of its own (so that it
// works in a freshly forked child) and checks that the save failed with
// `expected`: 0 when it did, a number that tells what went wrong otherwise.
int ReadFailsWith(const std::string& file, int expected) {
    sim::VirtualProgrammer board(FastBoard());
    board.Start();
    RecordingView view;
    TProgrammerLink link(view);
    link.ComPort().SetPort(board.PortPath());
    link.ComPort().OpenPort();
    link.SetChipKind(ck89C51);
    int code = 40;  // saved without an error
    try {
        link.ReadToFile(file);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() != expected) {
            std::fprintf(stderr, "error %d (%s)\n", e.ErrorCode(), e.what());
            code = 41;
        } else if (std::string(e.what()) != std::strerror(expected)) {
            code = 42;
        } else if (view.LastStatus() == "Complete!") {
            code = 43;  // a failed save is no success
        } else if (view.restores != view.waitCursors) {
            code = 44;
        } else {
            code = 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "unexpected: %s\n", e.what());
        code = 45;
    }
    return code;
}

// Nothing in `folder` but the existing file, unchanged.
int ExistingFileKept(const std::string& folder, const std::string& name) {
    if (ReadFile(folder + "/" + name) != kExisting) return 50;
    if (CountEntries(folder.c_str()) != 1) return 51;  // no temporary file left behind
    return 0;
}

void WriteExisting(const std::string& path) {
    std::ofstream(path, std::ios::binary) << kExisting;
}

TEST(FileSave, ReadIntoAReadOnlyFolderKeepsTheExistingFile) {
    TempDir root;
    const std::string folder = root.File("read-only");
    fs::create_directory(folder);
    WriteExisting(folder + "/chip.hex");
    fs::permissions(root.Path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    // Root writes into any folder: the Read runs as an unprivileged user.
    const int code = InChild([&] {
        if (geteuid() == 0 && setuid(kNobody) != 0) return 10;
        return ReadFailsWith(folder + "/chip.hex", EACCES);
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ExistingFileKept(folder, "chip.hex"), 0);
    fs::permissions(folder, fs::perms::owner_all);
}

TEST(FileSave, ReadOntoAFullDiskKeepsTheExistingFile) {
    TempDir root;
    const std::string folder = root.File("small-disk");
    fs::create_directory(folder);
    const int code = InChild([&] {
        // A file system of 8 KB in a mount namespace of this process alone.
        if (unshare(CLONE_NEWNS) == 0 &&
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("corvane-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                  "size=8k,mode=0755") == 0) {
            WriteExisting(folder + "/chip.hex");
            std::printf("full disk: an 8 KB tmpfs\n");
            if (int rc = ReadFailsWith(folder + "/chip.hex", ENOSPC)) return rc;
            return ExistingFileKept(folder, "chip.hex");
        }
        // Without mounts: a file size limit stands in for the full disk.
        std::printf("full disk: RLIMIT_FSIZE (%s)\n", std::strerror(errno));
        WriteExisting(folder + "/chip.hex");
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small{4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &small) != 0) return 11;
        if (int rc = ReadFailsWith(folder + "/chip.hex", EFBIG)) return rc;
        return ExistingFileKept(folder, "chip.hex");
    });
    EXPECT_EQ(code, 0);
}

struct Saver {
    const char* what;
    std::function<void(const std::string&)> save;
};
const Saver kSavers[] = {
    {"HEX file",
     [](const std::string& file) {
         THexFile one;
         one.SetMemSize(1);
         one.SaveHex(file);
     }},
    {"settings file", [](const std::string& file) { TIniFile(file).WriteString("S", "k", "v"); }},
};

// In a folder that everyone may write to and that has the sticky bit (such as
// /tmp), a link is followed only when it belongs to the saver or to the
// folder's owner, as the system follows links there on open.
TEST(FileSave, ALinkPlantedInASharedFolderIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "giving the link another owner needs root";
    const struct {
        const char* what;
        mode_t folderMode;
        uid_t folderOwner;
        uid_t linkOwner;
        bool followed;
    } rows[] = {
        {"another user's link in a sticky shared folder", 01777, 0, kNobody, false},
        {"the saver's own link there", 01777, kNobody, 0, true},
        {"the folder owner's link there", 01777, kNobody, kNobody, true},
        {"another user's link in a folder without the sticky bit", 0777, 0, kNobody, true},
    };
    for (const Saver& saver : kSavers) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(saver.what) + ", " + row.what);
            TempDir root;
            const std::string shared = root.File("shared"), home = root.File("home");
            fs::create_directory(shared);
            fs::create_directory(home);
            ASSERT_EQ(chmod(shared.c_str(), row.folderMode), 0);
            ASSERT_EQ(chown(shared.c_str(), row.folderOwner, 0), 0);
            WriteExisting(home + "/victim");
            fs::create_symlink(home + "/victim", shared + "/chip.hex");
            ASSERT_EQ(lchown((shared + "/chip.hex").c_str(), row.linkOwner, 0), 0);

            int error = 0;
            try {
                saver.save(shared + "/chip.hex");
            } catch (const EInOutError& e) {
                error = e.ErrorCode();
                EXPECT_STREQ(e.what(), std::strerror(EACCES));
            }
            EXPECT_EQ(error, row.followed ? 0 : EACCES);
            EXPECT_EQ(ReadFile(home + "/victim") != kExisting, row.followed);
            EXPECT_EQ(fs::read_symlink(shared + "/chip.hex"), home + "/victim");
            EXPECT_EQ(CountEntries(shared.c_str()), 1);
            EXPECT_EQ(CountEntries(home.c_str()), 1);
        }
    }
}

TEST(FileSave, ANewFileTakesItsModeFromTheMaskWithoutSettingIt) {
    TempDir root;
    const mode_t old = umask(027);
    const int before = gUmaskCalls;
    for (const Saver& saver : kSavers) saver.save(root.File(saver.what));
    const int calls = gUmaskCalls - before;
    umask(old);
    EXPECT_EQ(calls, 0);
    for (const Saver& saver : kSavers) {
        struct stat st {};
        ASSERT_EQ(stat(root.File(saver.what).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << saver.what;
    }
}

// A save replaces only a file that the saver may write, even where the folder
// lets it put a new file in the old one's place; a file without any write bit
// is kept from root too. A file that is replaced keeps its mode, but never a
// set-user-ID, set-group-ID or sticky bit.
TEST(FileSave, OnlyAWritableFileIsReplacedAndNeverWithSetIdBits) {
    const struct {
        const char* what;
        mode_t mode;
        bool asNobody;  // saved by another user than the file's owner (root)
        int error;
        mode_t after;
    } rows[] = {
        {"read-only, by its owner", 0444, false, EACCES, 0444},
        {"another user's file, writable to its owner only", 0644, true, EACCES, 0644},
        {"set-user-ID", 04755, false, 0, 0755},
        {"set-group-ID", 02770, false, 0, 0770},
        {"sticky", 01640, false, 0, 0640},
    };
    for (const Saver& saver : kSavers) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(saver.what) + ", " + row.what);
            if (row.asNobody && geteuid() != 0) continue;  // another owner needs root
            TempDir root;
            const std::string folder = root.File("open"), file = folder + "/chip.hex";
            fs::create_directory(folder);
            ASSERT_EQ(chmod(root.Path().c_str(), 0755), 0);
            ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
            WriteExisting(file);
            ASSERT_EQ(chmod(file.c_str(), row.mode), 0);
            const int code = InChild([&] {
                if (row.asNobody && setuid(kNobody) != 0) return 10;
                try {
                    saver.save(file);
                } catch (const EInOutError& e) {
                    if (std::string(e.what()) != std::strerror(e.ErrorCode())) return 11;
                    return e.ErrorCode();
                }
                return 0;
            });
            EXPECT_EQ(code, row.error);
            EXPECT_EQ(ReadFile(file) == kExisting, row.error != 0);
            struct stat st {};
            ASSERT_EQ(stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, row.after);
            EXPECT_EQ(CountEntries(folder.c_str()), 1);
        }
    }
}

}  // namespace
}  // namespace corvane::test
