// The HEX file's reader and writer, on every platform: the records, the line
// ends, the errors with their lines, saving and loading again.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "HexFileFixture.h"

namespace corvane::test {
namespace {

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

}  // namespace
}  // namespace corvane::test
