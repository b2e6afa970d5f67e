// Raw binary files on the command line: program, verify and read against the
// virtual programmer to the byte, the edges of a file's length, standard
// input and output with --format, a binary image under a HEX file's name.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "CliFixture.h"

namespace corvane::test {
namespace {

using cli::esBadFile;
using cli::esComplete;
using cli::esFailedStep;
using testing::HasSubstr;

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// `bytes`, then 0xFF up to `size`: a dump of a chip that holds them.
std::vector<std::uint8_t> Dump(std::vector<std::uint8_t> bytes, std::size_t size = 4096) {
    bytes.resize(size, 0xFF);
    return bytes;
}

class CliBinaryTest : public CliTest {
protected:
    std::string BinFile(const std::string& name, const std::string& bytes) {
        const std::string path = FDir.File(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
};

TEST_F(CliBinaryTest, ProgramReadAndVerifyOfABinaryFileToTheByte) {
    auto board = Board();
    const auto data = Pattern(300);
    const std::string file = BinFile("rom.bin", Text(data));
    CliResult r = Cli({"program", file});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Writing... [300 Bytes]\n"));
    EXPECT_EQ(board->Flash(), Dump(data));

    // The whole chip, in any case of the name's ending.
    const std::string dump = FDir.File("chip.BIN");
    r = Cli({"read", dump});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(ReadFile(dump), Text(board->Flash()));

    board->ClearCommandLog();
    r = Cli({"verify", dump});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_TRUE(Logged(*board, "s4096\n"));

    // A chip that differs only where the file holds FF: the dump sees it, the
    // file that was programmed does not.
    auto other = Dump(data);
    other[0x0F00] = 0x00;
    board->InsertChip(sim::ChipFromCode("51"), other);
    r = Cli({"verify", dump});
    EXPECT_EQ(r.status, esFailedStep);
    EXPECT_EQ(r.err,
              "corvane-cli: Verify Failed!\n"
              "corvane-cli: address 0F00: file FF, chip 00\n"
              "corvane-cli: 1 of 4096 bytes differ\n");
    EXPECT_EQ(Cli({"verify", file}).status, esComplete);
}

TEST_F(CliBinaryTest, ABinaryFileLongerThanTheChipOrEmptyIsRefusedBeforeTheErase) {
    const struct Case {
        const char* what;
        sim::Chip chip;
        std::vector<std::string> options;
        std::size_t length;
        const char* error;  // after "FILE: "; "" when it is programmed
    } cases[] = {
        {"exactly the chip", sim::ChipFromCode("51"), {}, 4096, ""},
        {"one byte more",
         sim::ChipFromCode("51"),
         {},
         4097,
         "Exceed Memory Size[Target:1000 Size:1000]: the file has 4097 bytes, the chip 4096"},
        {"more than any chip",
         sim::ChipFromCode("51"),
         {},
         70000,
         "Exceed Memory Size[Target:1000 Size:1000]: the file has 70000 bytes, the chip 4096"},
        {"a 2051 at 2K, a 4K file",
         sim::Chip2051(4096),
         {},
         4096,
         "Exceed Memory Size[Target:800 Size:800]: the file has 4096 bytes, the chip 2048; a 4051 "
         "holds 4096: choose --size 4K"},
        {"a 2051 at 4K, a 4K file", sim::Chip2051(4096), {"--size", "4K"}, 4096, ""},
        {"empty", sim::ChipFromCode("51"), {}, 0, "No data to program!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto board = Board(WithChip(c.chip));
        auto bytes = Text(Pattern(c.length));
        if (c.length > 4096) bytes[4096] = '\xFF';  // FF counts too
        const std::string file = BinFile("image.bin", bytes);
        std::vector<std::string> args{"program", file};
        args.insert(args.end(), c.options.begin(), c.options.end());
        CliResult r = Cli(args);
        if (*c.error == '\0') {
            EXPECT_EQ(r.status, esComplete) << r.err;
            EXPECT_EQ(Text(board->Flash()), bytes);
        } else {
            EXPECT_EQ(r.status, esBadFile);
            EXPECT_EQ(r.err, "corvane-cli: " + file + ": " + c.error + "\n");
            EXPECT_FALSE(Logged(*board, "e"));
            r = Cli({"verify", file});
            EXPECT_EQ(r.status, esBadFile);
            EXPECT_THAT(r.err, HasSubstr(c.length == 0 ? "No data to verify!" : c.error));
            EXPECT_FALSE(Logged(*board, "r"));
        }
        board->Withdraw();
    }
}

TEST_F(CliBinaryTest, StandardInputAndOutputTakeABinaryImageWithFormatBin) {
    sim::BoardOptions options = WithChip(sim::Chip2051(4096));
    options.flash = Pattern(4096, 5);
    auto board = Board(options);
    CliResult r = Cli({"read", "-", "--format", "bin", "--size", "4K"},
                      CliStreams{CliStreams::TOut::Pipe, std::nullopt});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(r.out, Text(board->Flash()));
    EXPECT_FALSE(PrivateMapsLeft());

    const auto data = Pattern(1000, 8);
    r = Cli({"program", "--format=bin", "-"}, CliStreams{CliStreams::TOut::File, Text(data)});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(board->Flash(), Dump(data));

    // Without --format, standard input is HEX text.
    board->ClearCommandLog();
    r = Cli({"verify", "-"}, CliStreams{CliStreams::TOut::File, Text(data)});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err,
              "corvane-cli: standard input: not an Intel HEX file (--format bin reads a raw "
              "binary image)\n");
    EXPECT_TRUE(board->CommandLog().empty());
}

TEST_F(CliBinaryTest, ABinaryImageUnderAHexNameIsNamedAsSuch) {
    auto board = Board();
    const auto data = Pattern(300);
    const std::string misnamed = BinFile("rom.hex", Text(data));
    CliResult r = Cli({"program", misnamed});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err, "corvane-cli: " + misnamed +
                         ": not an Intel HEX file (a raw binary file's name ends in .bin)\n");
    EXPECT_TRUE(board->CommandLog().empty());

    // Text without records keeps its message.
    r = Cli({"verify", BinFile("notes.hex", "to do: the boot loader\n")});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_THAT(r.err, HasSubstr("notes.hex: No data to verify!\n"));

    r = Cli({"program", "--format", "bin", misnamed});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(board->Flash(), Dump(data));
}

TEST_F(CliBinaryTest, AllComparesEveryByteOfABinaryFileOnEachBoard) {
    const auto data = Pattern(300);
    sim::BoardOptions same;
    same.flash = data;
    sim::BoardOptions other;
    other.flash = Dump(data);
    other.flash[0x0F00] = 0x00;
    auto b0 = Board(same, "b0");
    auto b1 = Board(other, "b1");
    CliResult r = Cli({"verify", "--all", BinFile("chip.bin", Text(Dump(data)))});
    EXPECT_EQ(r.status, esFailedStep) << r.err;
    EXPECT_TRUE(Logged(*b0, "s4096\n"));
    EXPECT_THAT(r.out, testing::ContainsRegex(b0->PortPath() + " .*Complete!"));
    EXPECT_THAT(r.out + r.err, HasSubstr("1 of 4096 bytes differ, the first at address 0F00: "
                                         "file FF, chip 00"));
}

TEST_F(CliBinaryTest, TheStationProgramsABinaryFileWithItsSerialNumbers) {
    auto board = Board();
    const auto data = Pattern(300);
    const std::string file = BinFile("kit.bin", Text(data));
    const std::string log = FDir.File("log.csv");
    CliResult r = Cli({"station", file, "--chips", "1", "--log", log, "--serial", "0xF00=7",
                       "--serial-format", "be16"});
    ASSERT_EQ(r.status, esComplete) << r.out << r.err;
    auto flash = Dump(data);
    flash[0xF00] = 0x00;
    flash[0xF01] = 0x07;
    EXPECT_EQ(board->Flash(), flash);
    EXPECT_THAT(ReadFile(log), HasSubstr("," + file + ","));
}

}  // namespace
}  // namespace corvane::test
