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
#include <regex>
#include <sstream>

#include "UHexFile.h"

using corvane::EHexFile;
using corvane::EInOutError;
using corvane::THexFile;
namespace fs = std::filesystem;

namespace {

class HexFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "corvane-hex-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }

    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Loads text into a fresh image of `size` bytes; returns the EHexFile message or "".
    std::string Load(const std::string& text, std::uint16_t size = 256) {
        image = THexFile();
        image.SetMemSize(size);
        try {
            image.LoadHex(Write("in.hex", text));
        } catch (const EHexFile& e) {
            return e.what();
        }
        return "";
    }

    fs::path dir;
    THexFile image;
};

TEST_F(HexFileTest, WorkedExampleLoadsAndABadChecksumIsReportedWithItsLine) {
    EXPECT_EQ(Load(":03000000020100FA\r\n:00000001FF\r\n"), "");
    EXPECT_EQ(image.GetByte(0), 0x02);
    EXPECT_EQ(image.GetByte(1), 0x01);
    EXPECT_EQ(image.GetByte(2), 0x00);
    EXPECT_EQ(image.GetByte(3), 0xFF);

    EXPECT_EQ(Load(";comment\r\n\r\n:03000000020100FB\r\n"), "Checksum error at line:3");
    // The record's bytes are already stored when its checksum fails.
    EXPECT_EQ(image.GetByte(0), 0x02);
}

TEST_F(HexFileTest, EachFormatErrorNamesItsLine) {
    EXPECT_EQ(Load(";x\r\n:\r\n"), "Invalid Data at Line:2");
    EXPECT_EQ(Load(":1\r\n"), "Incomplete data at Line:1");
    EXPECT_EQ(Load(":10\r\n"), "Incomplete data at Line:1");
    EXPECT_EQ(Load(":0300000002010\r\n"), "Incomplete data at Line:1");
    EXPECT_EQ(Load(":G3000000020100FA\r\n"), "Invalid Data at Line:1");
    EXPECT_EQ(Load(":030000000201X0FA\r\n"), "Invalid Data at Line:1");
    EXPECT_EQ(Load(":03000000020100ZZ\r\n"), "Invalid Data at Line:1");
    EXPECT_EQ(Load("\r\n\r\n\r\n:020000040000FA\r\n"), "Non subport block type at line:4");
    EXPECT_EQ(Load(":02000002100000EC\r\n"), "Non subport block type at line:1");
}

TEST_F(HexFileTest, FailingRecordKeepsTheBytesStoredBeforeTheFailure) {
    // Second data byte is not hexadecimal: the first is already in the image.
    EXPECT_EQ(Load(":0200100011GG00\r\n"), "Invalid Data at Line:1");
    EXPECT_EQ(image.GetByte(0x10), 0x11);
    EXPECT_EQ(image.GetByte(0x11), 0xFF);

    // Last byte just beyond a 16-byte image: the others are stored, and the
    // error names the address.
    const std::string rec = ":02000F00AABB8A\r\n";
    EXPECT_EQ(Load(rec, 16), "Exceed Memory Size[Target:10 Size:10]");
    EXPECT_EQ(image.GetByte(0x0F), 0xAA);
}

TEST_F(HexFileTest, ReaderSkipsNonRecordsAndReadsPastTheEndRecord) {
    const std::string text =
        ";Created by someone\r\n"
        " :0100000011EE\r\n"           // begins with a blank: not a record
        ":00000001FF\r\n"              // records after the end record still load
        ":010005007783  trailing\r\n"  // characters after the checksum are ignored
        ":01000600ab4e\r\n";           // lower-case digits
    EXPECT_EQ(Load(text), "");
    EXPECT_EQ(image.GetByte(0), 0xFF);
    EXPECT_EQ(image.GetByte(5), 0x77);
    EXPECT_EQ(image.GetByte(6), 0xAB);
    // Skipped lines still count in the line numbers.
    EXPECT_EQ(Load(text + ":01000700AB4E\r\n"), "Checksum error at line:6");
}

TEST_F(HexFileTest, EmptyFileOrCommentsOnlyLeaveTheImageErased) {
    EXPECT_EQ(Load(""), "");
    EXPECT_EQ(image.GetByte(0), 0xFF);
    EXPECT_EQ(Load(";one\r\n;two"), "");
    for (auto b : image.Data()) ASSERT_EQ(b, 0xFF);
}

TEST_F(HexFileTest, EveryLineEndStyleLoadsEveryRecord) {
    for (const std::string eol : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE(testing::PrintToString(eol));
        const std::string text =
            ":0100000011EE" + eol + ":0100010022DC" + eol + ":00000001FF" + eol;
        EXPECT_EQ(Load(text), "");
        EXPECT_EQ(image.GetByte(0), 0x11);
        EXPECT_EQ(image.GetByte(1), 0x22);
        // Line numbers count lines whatever their ends are.
        EXPECT_EQ(Load(";c" + eol + eol + ":01000000FF01" + eol), "Checksum error at line:3");
    }
}

TEST_F(HexFileTest, CtrlZEndsTheFile) {
    EXPECT_EQ(Load(":0100000011EE\r\n\x1A:0100010022DC\r\n"), "");
    EXPECT_EQ(image.GetByte(0), 0x11);
    EXPECT_EQ(image.GetByte(1), 0xFF);
}

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

TEST_F(HexFileTest, WriterProducesTheDocumentedRecords) {
    THexFile erased;
    erased.SetMemSize(4096);
    erased.Clear();
    const std::string path = (dir / "out.hex").string();
    ASSERT_TRUE(erased.SaveHex(path));
    const std::string text = Read(path);

    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    ASSERT_EQ(lines.size(), 1u + 256u + 1u);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(";Created by Corvane : \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d")))
        << lines[0];
    EXPECT_EQ(lines[1], ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00");
    EXPECT_EQ(lines[2], ":10001000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF0");
    EXPECT_EQ(lines[256], ":100FF000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF01");
    EXPECT_EQ(lines.back(), ":00000001FF");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], std::regex(":[0-9A-F]+"))) << lines[i];
    }

    THexFile empty;
    EXPECT_EQ(empty.HexText("x"), ";Created by Corvane : x\r\n:00000001FF\r\n");
}

TEST_F(HexFileTest, SaveThenLoadGivesTheSameBytesForEverySize) {
    for (unsigned size : {0u, 1u, 15u, 16u, 17u, 2048u, 20480u, 65535u}) {
        SCOPED_TRACE(size);
        THexFile out;
        out.SetMemSize(static_cast<std::uint16_t>(size));
        for (unsigned a = 0; a < size; ++a) {
            out.SetByte(static_cast<std::uint16_t>(a),
                        static_cast<std::uint8_t>((a * 31 + a / 256) & 0xFF));
        }
        const std::string path = (dir / "round.hex").string();
        out.SaveHex(path);
        THexFile in;
        in.SetMemSize(static_cast<std::uint16_t>(size));
        in.Fill(0x00);
        in.LoadHex(path);
        EXPECT_EQ(in.Data(), out.Data());
        EXPECT_EQ(out.HexText("t").find_first_of("abcdef", 25), std::string::npos);
        const std::size_t records = size / 16 + (size % 16 ? 1 : 0);
        const std::string text = Read(path);
        EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
                  records + 2);
    }
}

TEST_F(HexFileTest, SaveReplacesAnExistingFileAndLeavesNoTemporary) {
    const std::string path = Write("old.hex", "old contents");
    THexFile small;
    small.SetMemSize(1);
    small.SetByte(0, 0x5A);
    small.SaveHex(path);
    EXPECT_NE(Read(path).find(":010000005AA5\r\n"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
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

}  // namespace

namespace {

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
