// Raw binary images beside HEX text: the reader's edges against the image's
// size, the writer, the format a name gives, and a binary image under a HEX
// file's name.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "HexFileFixture.h"
#include "ImageFile.h"

namespace corvane::test {
namespace {

using corvane::ENotHexText;
using corvane::TImageFormat;

// `count` bytes that are never 0xFF, and begin with the 8051's LJMP (02).
std::string Bytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 7 + 2) % 255);
    return bytes;
}

TEST_F(HexFileTest, BinaryFileFillsTheImageFromAddressZeroUpToItsSize) {
    const struct Case {
        const char* what;
        std::uint16_t size;  // the image's: the chip's code memory
        std::size_t length;  // the file's
        const char* error;   // "" when it loads
    } cases[] = {
        {"empty", 4096, 0, ""},
        {"one byte", 4096, 1, ""},
        {"exactly the chip", 4096, 4096, ""},
        {"one byte more", 4096, 4097, "Exceed Memory Size[Target:1000 Size:1000]"},
        {"a 2051 at 2K, full", 2048, 2048, ""},
        {"a 2051 at 2K, a 4K file", 2048, 4096, "Exceed Memory Size[Target:800 Size:800]"},
        {"a 2051 at 4K, a 4K file", 4096, 4096, ""},
        {"the largest image", 65535, 65536, "Exceed Memory Size[Target:FFFF Size:FFFF]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bytes = Bytes(c.length);
        const std::string path = Write("in.bin", bytes);
        image = THexFile();
        image.SetMemSize(c.size);
        image.Fill(0x55);
        std::string error;
        std::size_t length = 0;
        try {
            length = LoadImageFile(image, path, FormatOfName(path));
        } catch (const EHexFile& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error);
        const auto& data = image.Data();
        if (*c.error != '\0') {
            // Refused before anything is stored.
            EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](auto b) { return b == 0x55; }));
            continue;
        }
        EXPECT_EQ(length, c.length);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data.begin(),
                               [](char a, std::uint8_t b) { return std::uint8_t(a) == b; }));
        EXPECT_TRUE(std::all_of(data.begin() + static_cast<std::ptrdiff_t>(c.length), data.end(),
                                [](auto b) { return b == 0xFF; }));
    }
}

TEST_F(HexFileTest, BinaryFileSavesEveryByteAndLoadsAgain) {
    for (std::uint16_t size : {0, 1, 2048, 20480}) {
        SCOPED_TRACE(size);
        THexFile chip;
        chip.SetMemSize(size);
        chip.Clear();
        if (size > 0) chip.SetByte(0, 0x02);
        const std::string path = (dir / "chip.BIN").string();
        SaveImageFile(chip, path, FormatOfName(path));
        const std::string saved = Read(path);
        ASSERT_EQ(saved.size(), size);
        EXPECT_TRUE(std::equal(saved.begin(), saved.end(), chip.Data().begin(),
                               [](char a, std::uint8_t b) { return std::uint8_t(a) == b; }));
        THexFile again;
        again.SetMemSize(size);
        EXPECT_EQ(LoadBin(again, path), size);
        EXPECT_EQ(again.Data(), chip.Data());
    }
}

// As a HEX file is: a file made read-only is kept, and no temporary is left.
TEST_F(HexFileTest, BinaryFileThatMayNotBeWrittenIsKept) {
    const std::string path = Write("kept.bin", "kept");
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    THexFile chip;
    chip.SetMemSize(16);
    chip.Clear();
    EXPECT_THROW(SaveBin(chip, path), EInOutError);
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(Read(path), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(HexFileTest, NameEndingInBinIsBinaryInAnyCase) {
    for (const char* name : {"a.bin", "A.BIN", "dir.hex/rom.Bin", ".bin"}) {
        EXPECT_EQ(FormatOfName(name), TImageFormat::Bin) << name;
    }
    for (const char* name : {"a.hex", "a.bin.hex", "a.binx", "bin", "a_bin", ""}) {
        EXPECT_EQ(FormatOfName(name), TImageFormat::Hex) << name;
    }
}

TEST_F(HexFileTest, BinaryImageUnderAHexNameIsRefusedAndTextWithoutRecordsIsNot) {
    const std::string record = ":0100000011EE\r\n";
    const struct Case {
        const char* what;
        std::string text;
        bool refused;
    } cases[] = {
        {"an 8051 image", Bytes(300), true},
        {"an image with a record mark after a CR", "\x02\x01\r:\x00\x13", true},
        {"an erased dump", std::string(256, '\xFF'), true},
        {"text without records", "just some notes\r\n", false},
        {"UTF-8 comments without records",
         ";Gr\xC3\xBC\xC3\x9F"
         "e\r\n",
         false},
        {"records after a NUL-padded comment", std::string(";pad\0\0\r\n", 8) + record, false},
        {"records, then padding of NULs", record + std::string(64, '\0'), false},
        {"a code page's letter in a comment",
         ";Gr\xFC\xDF"
         "e\r\n" +
             record,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        image.SetMemSize(16);
        std::string error;
        try {
            image.LoadHexText(c.text);
        } catch (const ENotHexText& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.refused ? ENotHexText::kMessage : "");
    }
}

}  // namespace
}  // namespace corvane::test
