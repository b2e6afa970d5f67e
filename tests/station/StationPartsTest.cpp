// The series of serial numbers and the station's log, on real files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SerialNumber.h"
#include "StationLog.h"
#include "TempDir.h"

namespace corvane::test {
namespace {

using station::ParseSerialFormat;
using station::TSerialSeries;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a series hands out, in order, until it is used up (at most `limit`).
std::vector<std::uint64_t> HandedOut(TSerialSeries& series, std::size_t limit = 10) {
    std::vector<std::uint64_t> numbers;
    while (numbers.size() < limit) {
        const auto number = series.Take();
        if (!number) break;
        series.Used(*number);
        numbers.push_back(*number);
    }
    return numbers;
}

TEST(SerialSeriesTest, NeverHandsOutWhatAnErasedChipHoldsAndEndsWhenUsedUp) {
    TempDir dir;
    struct Case {
        const char* format;
        std::uint64_t start;
        std::vector<std::uint64_t> numbers;
    };
    const Case cases[] = {
        {"le16", 0xFFFD, {0xFFFD, 0xFFFE}},
        {"be16", 0xFFFE, {0xFFFE}},
        {"le32", 0xFFFFFFFE, {0xFFFFFFFE}},
        {"be32", 0xFFFFFFFF, {}},
        {"ascii:1", 8, {8, 9}},
        // An FF in one byte only is a number like any other.
        {"le16", 0xFEFF, {0xFEFF, 0xFF00, 0xFF01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " from " + std::to_string(c.start));
        const std::string state = dir.File(std::string(c.format) + std::to_string(c.start));
        TSerialSeries series(state, c.start, *ParseSerialFormat(c.format));
        EXPECT_EQ(HandedOut(series, c.numbers.size() == 3 ? 3 : 10), c.numbers);
    }
}

// A number goes back only when no byte of its chip was written; the state
// file and the log each keep the series going after a new start.
TEST(SerialSeriesTest, GivesBackOnlyWhatWasNotWrittenAndSkipsWhatTheLogHolds) {
    TempDir dir;
    const std::string state = dir.File("log.csv.serial");
    const auto le16 = *ParseSerialFormat("le16");
    {
        TSerialSeries series(state, 100, le16);
        const auto written = series.Take();
        const auto erased = series.Take();
        series.Used(*written);
        series.GiveBack(*erased);
        EXPECT_EQ(series.Take(), erased);
        EXPECT_EQ(series.Take(), 102u);
    }
    {
        // Started again: the numbers out with chips when it ended stay out.
        TSerialSeries series(state, 100, le16);
        EXPECT_EQ(series.Take(), 103u);
    }
    std::filesystem::remove(state);
    struct Case {
        std::uint64_t start;
        std::set<std::uint64_t> logged;
        std::vector<std::uint64_t> numbers;
        std::optional<std::uint64_t> movedPast;
    };
    const Case cases[] = {
        {100, {100, 101, 103}, {104, 105}, 103},
        {102, {100, 101, 103}, {104, 105}, 103},
        {98, {100, 101, 103}, {98, 99, 102, 104}, std::nullopt},
        {200, {100, 101, 103}, {200, 201}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        std::filesystem::remove(state);
        TSerialSeries series(state, c.start, le16, c.logged);
        EXPECT_EQ(HandedOut(series, c.numbers.size()), c.numbers);
        EXPECT_EQ(series.MovedPast(), c.movedPast);
    }
}

TEST(StationLogTest, CellsStayTextInASpreadsheet) {
    struct Case {
        const char* text;
        const char* cell;
    };
    const Case cases[] = {
        {"a.hex", "a.hex"},
        {"=2+3.hex", "'=2+3.hex"},
        {"+1", "'+1"},
        {"-1", "'-1"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"=1,2", "\"'=1,2\""},
        {"a \"b\", c", "\"a \"\"b\"\", c\""},
        {"a=b", "a=b"},
    };
    for (const Case& c : cases) EXPECT_EQ(station::CsvField(c.text), c.cell) << c.text;
}

// A new log begins with a byte order mark and the header; its rows give the
// checksum and the address with 0x, and the numbers that are in chips are
// read back from it whatever their address and format.
TEST(StationLogTest, ANewLogIsMadeForSpreadsheetsAndHoldsTheNumbersInChips) {
    TempDir dir;
    const std::string path = dir.File("log.csv");
    auto row = [](std::string serial, std::string at, std::string format, bool used) {
        station::TStationRow r;
        r.File = "=2+3.hex";
        r.Checksum = "0x1E05";
        r.Serial = std::move(serial);
        r.SerialAt = std::move(at);
        r.Format = std::move(format);
        r.SerialUsed = used;
        r.Result = "Complete!";
        return r;
    };
    {
        station::TStationLog log(path);
        log.Append(row("7", "0x0800", "le16", true));
        log.Append(row("8", "0x0800", "le16", false));
        log.Append(row("9", "0x0800", "be16", true));
        log.Append(row("10", "0x0900", "le16", true));
        log.Append(row("11", "0x0800", "le16", true));
    }
    const std::string text = ReadAll(path);
    EXPECT_TRUE(
        text.starts_with("\xEF\xBB\xBFtime,port,chip,file,checksum,serial,address,format,"
                         "number,result,status,seconds\r\n"))
        << text;
    const auto rows = station::ReadCsv(text);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[1][3], "'=2+3.hex");
    EXPECT_EQ(rows[1][4], "0x1E05");
    EXPECT_EQ(rows[2][8], "given back");
    station::TStationLog again(path);
    EXPECT_EQ(again.Used(), (std::set<std::uint64_t>{7, 9, 10, 11}));
    EXPECT_EQ(ReadAll(path), text);  // opened again: nothing added
}

// A power loss in the middle of an append leaves a torn row, here inside a
// quoted cell: it is cut back at the next opening, and the rows after it are
// read right. A log that cannot be read whole is refused.
TEST(StationLogTest, ATornLastRowIsCutBackAndALogNotWholeIsRefused) {
    TempDir dir;
    const std::string path = dir.File("log.csv");
    station::TStationRow row;
    row.Serial = "7";
    row.SerialUsed = true;
    row.Result = "Complete!";
    station::TStationLog(path).Append(row);
    const std::string whole = ReadAll(path);
    std::ofstream(path, std::ios::app | std::ios::binary) << "2026-12-08,\"a,b";
    {
        station::TStationLog log(path);
        EXPECT_EQ(log.Torn(), "2026-12-08,\"a,b");
        EXPECT_EQ(ReadAll(path), whole);
        row.Serial = "8";
        log.Append(row);
    }
    EXPECT_EQ(station::TStationLog(path).Used(), (std::set<std::uint64_t>{7, 8}));
    std::ofstream(path, std::ios::app | std::ios::binary) << "a,b\r\n";
    EXPECT_THROW(station::TStationLog{path}, std::runtime_error);
    std::ofstream(dir.File("other.csv"), std::ios::binary) << "time,port\r\n";
    EXPECT_THROW(station::TStationLog{dir.File("other.csv")}, std::runtime_error);
}

}  // namespace
}  // namespace corvane::test
