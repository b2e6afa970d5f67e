// A station's command line as every host reads it, and its file.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "StationOptions.h"
#include "TempDir.h"

namespace corvane::test {
namespace {

using station::ParseStationCommandLine;

// What the command line gave, in one line.
std::string Summary(const station::TStationArgs& a) {
    std::ostringstream s;
    s << a.File << " log=" << a.Log
      << (!a.Format                        ? ""
          : *a.Format == TImageFormat::Bin ? " bin"
                                           : " hex")
      << (a.Port.empty() ? "" : " port") << (a.Board.FastVerify ? " fast" : "")
      << (a.Board.Lock ? " lock" : "")
      << (a.SizeGiven ? " size=" + std::to_string(a.Board.MemSizeIndex) : "")
      << (a.Chips ? " chips=" + std::to_string(a.Chips) : "") << (a.Bell ? "" : " no-bell")
      << (a.Quiet ? " quiet" : "");
    if (a.Serial) {
        s << " serial=" << std::hex << a.Serial->Address << std::dec << "=" << a.Serial->Start
          << "/" << a.Serial->Format.Name() << (a.Serial->Overwrite ? "/overwrite" : "");
    }
    return s.str();
}

TEST(StationOptionsTest, TakesAndRefusesCommandLines) {
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"a.hex"}, "a.hex log=corvane-station.csv"},
        {{"--", "-x.hex"}, "-x.hex log=corvane-station.csv"},
        {{"a.bin", "--chips=3", "--fast-verify", "--lock", "--size", "4k", "--port", "/dev/x",
          "--no-bell", "-q", "--log", "l.csv", "--format=hex"},
         "a.bin log=l.csv hex port fast lock size=1 chips=3 no-bell quiet"},
        {{"--serial-format", "ascii:6", "a.hex", "--serial=0x7FF0=42", "--serial-overwrite"},
         "a.hex log=corvane-station.csv serial=7ff0=42/ascii:6/overwrite"},
        {{"a.hex", "--serial", "0xFFFC=4294967295", "--serial-format", "be32"},
         "a.hex log=corvane-station.csv serial=fffc=4294967295/be32"},
        {{}, "station needs a file"},
        {{"a.hex", "b.hex"}, "unexpected argument 'b.hex'"},
        {{"-"}, "station reads its image from a file, not from standard input"},
        {{"a.hex", "--all"}, "unknown option '--all'"},
        {{"a.hex", "--chips", "0"}, "--chips takes a number from 1, not '0'"},
        {{"a.hex", "--chips"}, "--chips needs a value"},
        {{"a.hex", "--lock=yes"}, "--lock takes no value"},
        {{"a.hex", "--size", "3K"}, "--size takes 2K or 4K, not '3K'"},
        {{"a.hex", "--format", "raw"}, "--format takes hex or bin, not 'raw'"},
        {{"a.hex", "--port="}, "--port needs a path"},
        {{"a.hex", "--log", "-"}, "--log needs a file name"},
        {{"a.hex", "--log", "a.hex"}, "the log cannot go to the image file"},
        {{"corvane-station.csv"}, "the log cannot go to the image file"},
        {{"a.hex", "--serial", "0x10000=1"},
         "--serial takes ADDR=START (decimal, or hexadecimal with 0x), not '0x10000=1'"},
        {{"a.hex", "--serial-format", "le64"},
         "--serial-format takes le16, be16, le32, be32 or ascii:N, not 'le64'"},
        {{"a.hex", "--serial-format", "le32"}, "--serial-format belongs to --serial"},
        {{"a.hex", "--serial-overwrite"}, "--serial-overwrite belongs to --serial"},
        {{"a.hex", "--serial", "0=1000", "--serial-format", "ascii:3"},
         "--serial: 1000 does not fit the serial format (at most 999)"},
        {{"a.hex", "--serial", "0xFFFD=1", "--serial-format", "le32"},
         "--serial: the number does not fit below address 10000 (hex)"},
    };
    for (const auto& [args, expected] : rows) {
        const station::TStationCommandLine line = ParseStationCommandLine(args);
        EXPECT_EQ(line.Error.empty() ? Summary(line.Args) : line.Error, expected)
            << testing::PrintToString(args);
    }
}

TEST(StationOptionsTest, ReadsTheFile) {
    TempDir dir;
    const std::string bin = dir.Path() + "/rom.bin", hex = dir.Path() + "/rom.hex";
    std::ofstream(bin, std::ios::binary) << std::string(3, '\xFF') << "\x12\xFF";
    std::ofstream(hex, std::ios::binary) << std::string(4, '\xFF');  // no HEX text
    const std::tuple<std::vector<std::string>, std::string, std::size_t> rows[] = {
        {{bin}, "", 5},
        {{hex}, hex + ": not an Intel HEX file (a raw binary file's name ends in .bin)", 0},
        {{hex, "--format=hex"},
         hex + ": not an Intel HEX file (--format bin reads a raw binary image)",
         0},
        {{hex, "--format=bin"}, hex + ": No data to program!", 4},
    };
    for (const auto& [args, expected, fileLength] : rows) {
        THexFile image;
        std::size_t length = 99;
        const station::TStationArgs parsed = ParseStationCommandLine(args).Args;
        EXPECT_EQ(station::LoadStationFile(parsed, image, length), expected) << args.back();
        EXPECT_EQ(length, fileLength) << args.back();
    }
}

}  // namespace
}  // namespace corvane::test
