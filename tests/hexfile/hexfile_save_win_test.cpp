// Loading and saving HEX files where Windows shows what can go wrong: a file
// that another program holds open, a read-only file, a folder that is not
// there. The old file stays as it was, and no temporary is left.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "FileReplace_win.h"
#include "HexFileFixture.h"
#include "UnderWine.h"
#include "Win32.h"

namespace corvane::test {
namespace {

using corvane::testing::UnderWine;

DWORD failure = 0;  // what ReplaceLeavesBoth fails with

TEST_F(HexFileTest, LoadOfAMissingFileRaisesTheSystemErrorAndLeavesTheImage) {
    image.SetMemSize(4);
    image.Fill(0x55);
    try {
        image.LoadHex((dir / "missing.hex").string());
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(e.what(), SystemErrorText(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_EQ(image.GetByte(0), 0x55);
}

TEST_F(HexFileTest, SaveThatCannotReplaceTheFileKeepsItAndLeavesNoTemporary) {
    struct Case {
        const char* what;
        DWORD share;       // how another program holds it open (~0: not open)
        DWORD attributes;  // the file's attributes
    } cases[] = {
        {"held open, not shared", 0, FILE_ATTRIBUTE_NORMAL},
        {"held open for reading only", FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL},
        {"read-only", ~0UL, FILE_ATTRIBUTE_READONLY},
    };
    THexFile one;
    one.SetMemSize(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Write("kept.hex", "kept");
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), c.attributes));
        THandle holder(c.share == ~0UL ? INVALID_HANDLE_VALUE
                                       : CreateFileA(path.c_str(), GENERIC_READ, c.share, nullptr,
                                                     OPEN_EXISTING, 0, nullptr));
        int code = 0;
        try {
            one.SaveHex(path);
        } catch (const EInOutError& e) {
            code = e.ErrorCode();
            EXPECT_EQ(e.what(), SystemErrorText(static_cast<DWORD>(code)));
        }
        EXPECT_NE(code, 0);
        holder.Close();
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(Read(path), "kept");
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            // Wine's ReplaceFile leaves the empty file it made to move the
            // old one aside (rfXXXX.tmp) when it fails; Windows' does not.
            if (UnderWine() && name.starts_with("rf") && name.ends_with(".tmp")) continue;
            EXPECT_EQ(name, "kept.hex");
        }
        fs::remove(path);
    }
}

// Stand-ins for the system calls of a save, for the failures that the system
// seldom gives and Wine never does. Each leaves the files as the system
// documents for that failure (a backup name given).
BOOL WINAPI ReplaceLeavesBoth(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) {
    SetLastError(failure);
    return FALSE;
}
BOOL WINAPI ReplaceRemovesTheOld(LPCWSTR replaced, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) {
    DeleteFileW(replaced);
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    return FALSE;
}
BOOL WINAPI ReplaceMovesTheOldAside(LPCWSTR replaced, LPCWSTR, LPCWSTR backup, DWORD, LPVOID,
                                    LPVOID) {
    MoveFileW(replaced, backup);
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
    return FALSE;
}
BOOL WINAPI WriteFails(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
BOOL WINAPI FlushFails(HANDLE) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// Whichever way a save fails, the file is left under its own name, the old
// one or (only when the old one is gone) the new one, and nothing of ours
// beside it.
TEST_F(HexFileTest, EveryFailureOfASaveLeavesOneFileUnderItsOwnName) {
    const struct Case {
        const char* what;
        TSaveCalls calls;
        DWORD failure;  // what the replace fails with
        DWORD error;    // what the save raises (0: none)
        bool saved;     // the file holds the new text
    } cases[] = {
        {"the old file cannot be removed",
         {.Replace = ReplaceLeavesBoth},
         ERROR_UNABLE_TO_REMOVE_REPLACED,
         ERROR_UNABLE_TO_REMOVE_REPLACED,
         false},
        {"the new file cannot be moved",
         {.Replace = ReplaceLeavesBoth},
         ERROR_UNABLE_TO_MOVE_REPLACEMENT,
         ERROR_UNABLE_TO_MOVE_REPLACEMENT,
         false},
        {"the new file cannot be moved, the old one is gone",
         {.Replace = ReplaceRemovesTheOld},
         0,
         0,
         true},
        {"the new file cannot be moved, the old one is aside",
         {.Replace = ReplaceMovesTheOldAside},
         0,
         ERROR_UNABLE_TO_MOVE_REPLACEMENT_2,
         false},
        {"another failure",
         {.Replace = ReplaceLeavesBoth},
         ERROR_SHARING_VIOLATION,
         ERROR_SHARING_VIOLATION,
         false},
        {"the write fails", {.Write = WriteFails}, 0, ERROR_DISK_FULL, false},
        {"the flush fails", {.Flush = FlushFails}, 0, ERROR_DISK_FULL, false},
    };
    struct Restore {
        ~Restore() { gSaveCalls = TSaveCalls{}; }
    } restore;
    THexFile one;
    one.SetMemSize(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Write("chip.hex", "kept");
        gSaveCalls = c.calls;
        failure = c.failure;
        DWORD error = 0;
        try {
            one.SaveHex(path);
        } catch (const EInOutError& e) {
            error = static_cast<DWORD>(e.ErrorCode());
        }
        gSaveCalls = TSaveCalls{};
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(Read(path) != "kept", c.saved);
        for (const auto& entry : fs::directory_iterator(dir)) {
            EXPECT_EQ(entry.path().filename().string(), "chip.hex");
        }
        fs::remove(path);
    }
}

TEST_F(HexFileTest, SaveIntoAFolderThatIsNotThereRaisesTheSystemError) {
    THexFile one;
    one.SetMemSize(1);
    try {
        one.SaveHex((dir / "gone" / "chip.hex").string());
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), ERROR_PATH_NOT_FOUND);
    }
    EXPECT_FALSE(fs::exists(dir / "gone"));
}

}  // namespace
}  // namespace corvane::test
