// corvane-cli station against virtual programmers whose chips the test takes
// out and seats through their socket.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "CliFixture.h"

namespace corvane::test {
namespace {

using testing::HasSubstr;
using TBoard = std::unique_ptr<sim::VirtualProgrammer>;
using TRows = std::vector<std::vector<std::string>>;

// The log as a spreadsheet reads CSV: quoted fields may hold commas, doubled
// quotes and line ends; a row ends in CR LF.
TRows ReadCsv(const std::string& text) {
    TRows rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = rows.back().back();
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += text[++i];
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.emplace_back(1);
            ++i;
        } else {
            field += c;
        }
    }
    if (rows.back() == std::vector<std::string>(1)) rows.pop_back();  // after the last CR LF
    return rows;
}

enum TColumn { cTime, cPort, cChip, cFile, cChecksum, cSerial, cResult, cStatus, cSeconds };

class CliStationTest : public CliTest {
protected:
    std::unique_ptr<CliProcess> Station(const std::vector<std::string>& options,
                                        bool onTerminal = false) {
        std::vector<std::string> args{"station", FFile, "--log", FLog};
        args.insert(args.end(), options.begin(), options.end());
        return std::make_unique<CliProcess>(args, Env(), FDir.Path(), onTerminal);
    }
    TRows Rows() const { return ReadCsv(ReadFile(FLog)); }
    // Waits until the log holds `rows` rows of chips.
    bool WaitForRows(std::size_t rows) {
        return WaitFor([&] { return Rows().size() >= rows + 1; });
    }
    // The chip is taken out; once the station has seen the empty socket, a
    // fresh one is seated.
    void Reseat(sim::VirtualProgrammer& board) {
        board.RemoveChip();
        board.ClearCommandLog();
        ASSERT_TRUE(WaitFor([&] {
            const auto log = board.CommandLog();
            return std::count(log.begin(), log.end(), "p") >= 2;
        }));
        board.SeatChip();
    }
    std::vector<std::uint8_t> FData = Pattern(300);
    std::string FFile = HexFile("a \"b\", c\nd.hex", FData);
    std::string FLog = FDir.File("log.csv");
};

bool Holds(const std::vector<std::uint8_t>& flash, std::size_t at,
           const std::vector<std::uint8_t>& bytes) {
    return flash.size() >= at + bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), flash.begin() + static_cast<long>(at));
}

TEST_F(CliStationTest, EachChipSeatedIsProgrammedOnceWithTheNextSerialNumber) {
    std::vector<TBoard> boards;
    boards.push_back(Board({}, "b0"));
    boards.push_back(Board({}, "b1"));
    auto station = Station({"--serial", "0xF00=100", "--serial-format", "be16"});
    // Both chips seated at the start go at once; then one chip after another.
    ASSERT_TRUE(WaitForRows(2)) << station->ErrSoFar();
    struct Seat {
        std::size_t board;
        bool eraseFails;
    };
    const Seat seats[] = {{0, false}, {1, true}, {0, false}, {1, false}};
    std::size_t rows = 2;
    for (const Seat& seat : seats) {
        sim::VirtualProgrammer& board = *boards[seat.board];
        // The chip stays in until it was logged: the flash holds its number.
        const std::string serial = Rows().back()[cSerial];
        Reseat(board);
        if (seat.eraseFails) {
            sim::Faults faults;
            faults.eraseFailures = 10;  // every attempt of one chip
            board.SetFaults(faults);
        }
        ASSERT_TRUE(WaitForRows(++rows)) << station->ErrSoFar();
        const auto row = Rows().back();
        EXPECT_EQ(row[cPort], board.PortPath());
        if (seat.eraseFails) continue;
        const unsigned number = static_cast<unsigned>(std::stoul(row[cSerial]));
        EXPECT_TRUE(Holds(board.Flash(), 0, FData));
        EXPECT_TRUE(Holds(
            board.Flash(), 0xF00,
            {static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number & 0xFF)}));
    }
    station->Signal(SIGINT);
    CliResult r = station->Wait();
    EXPECT_EQ(r.status, cli::esFailedStep) << r.out << r.err;  // a chip failed
    EXPECT_THAT(r.out, HasSubstr("5 good, 1 failed"));

    const TRows log = Rows();
    ASSERT_EQ(log.size(), 7u) << ReadFile(FLog);
    EXPECT_EQ(log[0], (std::vector<std::string>{"time", "port", "chip", "file", "checksum",
                                                "serial", "result", "status", "seconds"}));
    std::vector<std::string> good;
    for (std::size_t i = 1; i < log.size(); ++i) {
        const auto& row = log[i];
        SCOPED_TRACE(i);
        ASSERT_EQ(row.size(), 9u);
        EXPECT_THAT(row[cTime], testing::MatchesRegex("....-..-..T..:..:..[-+]..:.."));
        EXPECT_EQ(row[cFile], FFile);
        EXPECT_EQ(row[cChip], "89C51");
        if (i == 4) {
            // Its number goes to the next chip.
            EXPECT_EQ(row[cResult], "Erase Failed!");
            EXPECT_EQ(row[cStatus], "1");
            EXPECT_EQ(row[cSerial], log[5][cSerial]);
            continue;
        }
        EXPECT_EQ(row[cResult], "Complete!");
        EXPECT_EQ(row[cStatus], "0");
        good.push_back(row[cSerial]);
    }
    std::sort(good.begin(), good.end());
    EXPECT_EQ(good, (std::vector<std::string>{"100", "101", "102", "103", "104"}));
}

// Ctrl+C lets every chip under way be finished; a station killed in the
// middle of a pass leaves whole rows; each start continues the series.
TEST_F(CliStationTest, StopsFinishTheChipsAndTheSeriesGoesOnAfterAStart) {
    sim::BoardOptions paced;
    paced.baud = 38400;  // the passes last long enough to be stopped
    FData = Pattern(3000);
    FFile = HexFile("a.hex", FData);
    const std::vector<std::string> serial{"--serial", "0xFF0=7", "--serial-format", "ascii:4"};
    std::vector<TBoard> boards;
    boards.push_back(Board(paced, "b0"));
    boards.push_back(Board(paced, "b1"));
    // The station is started, and waited for until each board is in the
    // middle of its write pass.
    auto startMidPass = [&] {
        std::vector<std::uint64_t> before;
        for (const auto& board : boards) before.push_back(board->BytesReceived());
        auto station = Station(serial);
        for (std::size_t i = 0; i < boards.size(); ++i) {
            EXPECT_TRUE(WaitFor([&] { return boards[i]->BytesReceived() > before[i] + 1000; }));
        }
        return station;
    };

    auto station = startMidPass();
    station->Signal(SIGINT);
    CliResult r = station->Wait();
    EXPECT_EQ(r.status, cli::esComplete) << r.out << r.err;
    ASSERT_EQ(Rows().size(), 3u);
    for (const auto& board : boards) {
        EXPECT_TRUE(Holds(board->Flash(), 0, FData));
        board->SeatChip();
    }

    station = startMidPass();
    station->Signal(SIGKILL);
    station->Wait();
    const std::string text = ReadFile(FLog);
    EXPECT_EQ(Rows().size(), 3u);
    EXPECT_TRUE(text.ends_with("\r\n")) << text;

    // Fresh boards: the killed station left the others in the middle of a pass.
    boards.clear();
    auto board = Board({}, "b2");
    station = Station(serial);
    ASSERT_TRUE(WaitForRows(3)) << station->ErrSoFar();
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esComplete);
    std::vector<std::string> serials;
    for (const auto& row : Rows()) serials.push_back(row[cSerial]);
    std::sort(serials.begin() + 1, serials.begin() + 3);
    // The numbers out with the killed station's chips may be in them: they
    // are never handed out again.
    EXPECT_EQ(serials, (std::vector<std::string>{"serial", "7", "8", "11"}));
    EXPECT_TRUE(Holds(board->Flash(), 0xFF0, {'0', '0', '1', '1'}));
}

TEST_F(CliStationTest, ABoardThatGoesIsReportedAndTakenOnAgainWhenItComesBack) {
    auto stays = Board({}, "b0");
    auto goes = Board({}, "b1");
    auto station = Station({});
    ASSERT_TRUE(WaitForRows(2)) << station->ErrSoFar();
    const std::string oldPort = goes->PortPath();
    goes->Unplug();
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile(FDir.File("bg.out")).find(oldPort + ": programmer gone\n") !=
               std::string::npos;
    }));
    Reseat(*stays);
    ASSERT_TRUE(WaitForRows(3)) << station->ErrSoFar();
    EXPECT_EQ(Rows().back()[cPort], stays->PortPath());
    goes->Plug();  // with a blank chip of its kind
    goes->SeatChip();
    ASSERT_TRUE(WaitForRows(4)) << station->ErrSoFar();
    EXPECT_EQ(Rows().back()[cPort], goes->PortPath());
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esComplete);
}

// A line per board redrawn in place, the totals below, a bell for a failure.
TEST_F(CliStationTest, ATerminalShowsTheBoardsAndTheTotals) {
    sim::BoardOptions eraseFails;
    eraseFails.faults.eraseFailures = 10;
    auto good = Board({}, "b0");
    auto bad = Board(eraseFails, "b1");
    auto station = Station({}, true);
    ASSERT_TRUE(WaitFor([&] {
        station->ReadTerminal();
        return Rows().size() == 3;
    }));
    station->Signal(SIGINT);
    CliResult r = station->Wait();
    EXPECT_EQ(r.status, cli::esFailedStep);
    EXPECT_THAT(r.out, HasSubstr("\x1b[3A"));
    EXPECT_THAT(r.out, HasSubstr("\a"));
    EXPECT_THAT(r.out, testing::ContainsRegex("\r" + bad->PortPath() +
                                              " +89C51  Erase Failed!  remove the chip"));
    EXPECT_THAT(r.out, HasSubstr("\rgood 1  failed 1  "));
    EXPECT_THAT(r.out, HasSubstr("1 good, 1 failed in "));
}

// A 2051/4051 board greets as one with its socket empty: Enter starts each chip.
TEST_F(CliStationTest, A2051BoardWaitsForEnterBeforeEachChip) {
    auto board = Board(WithChip(sim::Chip2051(2048)));
    CliStreams streams;
    streams.input = "\n";
    CliResult r = Cli({"station", FFile, "--log", FLog, "--chips", "1"}, streams);
    EXPECT_EQ(r.status, cli::esComplete) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(board->PortPath() +
                                 ": no socket sensing: seat a chip, then press Enter\n"));
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(Rows()[1][cChip], "89C2051/4051");
    EXPECT_TRUE(Holds(board->Flash(), 0, FData));
}

TEST_F(CliStationTest, NoChipIsTouchedWhenTheStartIsRefused) {
    auto board = Board();
    struct Case {
        std::vector<std::string> options;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{"--serial", "0x12A=1", "--serial-format", "le32"},
         cli::esUsage,
         "the serial number at 012A-012D would overwrite bytes that"},
        {{"--log", FDir.File("no/such/log.csv")}, cli::esBadFile, "no/such/log.csv: No such file"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"station", FFile, "--log", FLog};
        args.insert(args.end(), c.options.begin(), c.options.end());
        CliResult r = Cli(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_FALSE(Logged(*board, "e"));
    }
}

}  // namespace
}  // namespace corvane::test
