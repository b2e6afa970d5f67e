// corvane-cli station against virtual programmers whose chips the test takes
// out and seats through their socket.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "CliFixture.h"
#include "CsvRows.h"
#include "Station.h"

namespace corvane::test {
namespace {

using testing::HasSubstr;
using TBoard = std::unique_ptr<sim::VirtualProgrammer>;
using TRows = test::TCsvRows;

enum TColumn {
    cTime,
    cPort,
    cChip,
    cFile,
    cChecksum,
    cSerial,
    cAddress,
    cFormat,
    cNumber,
    cResult,
    cStatus,
    cSeconds
};

class CliStationTest : public CliTest {
protected:
    std::unique_ptr<CliProcess> Station(const std::vector<std::string>& options,
                                        bool onTerminal = false) {
        std::vector<std::string> args{"station", FFile, "--log", FLog};
        args.insert(args.end(), options.begin(), options.end());
        return std::make_unique<CliProcess>(args, Env(), FDir.Path(), onTerminal);
    }
    TRows Rows() const {
        bool whole = false;
        return test::ReadCsv(ReadFile(FLog), whole);
    }
    // Waits until the log holds `rows` rows of chips.
    bool WaitForRows(std::size_t rows) {
        return WaitFor([&] { return Rows().size() >= rows + 1; });
    }
    // The chip is taken out; once the station has seen the empty socket, a
    // fresh one is seated.
    void Reseat(sim::VirtualProgrammer& board) {
        const std::string out = FDir.File("bg.out");
        const std::size_t seen = ReadFile(out).size();
        board.RemoveChip();
        board.ClearCommandLog();
        // Two replies in a row must say so; a slow greeting in between on a
        // busy machine tells nothing, so the station's own word is awaited.
        ASSERT_TRUE(WaitFor([&] {
            return ReadFile(out).find(board.PortPath() + ": waiting for a chip\n", seen) !=
                   std::string::npos;
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

// A number goes back only when no byte of its chip was written (a failed
// erase); a chip that failed once its write pass began keeps it.
TEST_F(CliStationTest, EachChipSeatedIsProgrammedOnceWithTheNextSerialNumber) {
    std::vector<TBoard> boards;
    boards.push_back(Board({}, "b0"));
    boards.push_back(Board({}, "b1"));
    auto station = Station({"--serial", "0xF00=100", "--serial-format", "be16"});
    // Both chips seated at the start go at once; then one chip after another.
    ASSERT_TRUE(WaitForRows(2)) << station->ErrSoFar();
    enum TFault { fNone, fErase, fWrite };
    struct Seat {
        std::size_t board;
        TFault fault;
    };
    const Seat seats[] = {{0, fNone}, {1, fErase}, {0, fNone}, {1, fWrite}, {0, fNone}};
    std::size_t rows = 2;
    for (const Seat& seat : seats) {
        sim::VirtualProgrammer& board = *boards[seat.board];
        Reseat(board);
        sim::Faults faults;
        if (seat.fault == fErase) faults.eraseFailures = 10;  // every attempt of one chip
        if (seat.fault == fWrite) faults.wrongHandshakeAt = 200;
        board.SetFaults(faults);
        ASSERT_TRUE(WaitForRows(++rows)) << station->ErrSoFar();
        board.SetFaults({});
        const auto row = Rows().back();
        EXPECT_EQ(row[cPort], board.PortPath());
        // A chip whose write failed has bytes of the file, and its number is used.
        if (seat.fault != fNone) continue;
        const unsigned number = static_cast<unsigned>(std::stoul(row[cSerial]));
        EXPECT_TRUE(Holds(board.Flash(), 0, FData));
        EXPECT_TRUE(Holds(
            board.Flash(), 0xF00,
            {static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number & 0xFF)}));
        // The checksum cell is the chip's own, as the board's checksum gives it.
        unsigned sum = (number >> 8) + (number & 0xFF) + 0xFF * (0xF00 - FData.size());
        for (std::uint8_t b : FData) sum += b;
        EXPECT_EQ(row[cChecksum], "0x" + station::Hex((0x10000 - (sum & 0xFFFF)) & 0xFFFF, 4));
    }
    station->Signal(SIGINT);
    CliResult r = station->Wait();
    EXPECT_EQ(r.status, cli::esFailedStep) << r.out << r.err;  // a chip failed
    EXPECT_THAT(r.out, HasSubstr("5 good, 2 failed"));

    const TRows log = Rows();
    ASSERT_EQ(log.size(), 8u) << ReadFile(FLog);
    EXPECT_TRUE(ReadFile(FLog).starts_with("\xEF\xBB\xBFtime,"));
    EXPECT_EQ(log[0], (std::vector<std::string>{"time", "port", "chip", "file", "checksum",
                                                "serial", "address", "format", "number", "result",
                                                "status", "seconds"}));
    std::vector<std::string> inChips;
    for (std::size_t i = 1; i < log.size(); ++i) {
        const auto& row = log[i];
        SCOPED_TRACE(i);
        ASSERT_EQ(row.size(), 12u);
        EXPECT_THAT(row[cTime], testing::MatchesRegex("....-..-..T..:..:..[-+]..:.."));
        EXPECT_EQ(row[cFile], FFile);
        EXPECT_EQ(row[cChip], "89C51");
        EXPECT_THAT(row[cChecksum], testing::MatchesRegex("0x[0-9A-F]{4}"));
        EXPECT_EQ(row[cAddress], "0x0F00");
        EXPECT_EQ(row[cFormat], "be16");
        if (i == 4) {
            // Nothing was written: its number goes to the next chip.
            EXPECT_EQ(row[cResult], "Erase Failed!");
            EXPECT_EQ(row[cStatus], "1");
            EXPECT_EQ(row[cNumber], "given back");
            EXPECT_EQ(row[cSerial], log[5][cSerial]);
            continue;
        }
        EXPECT_EQ(row[cNumber], "used");
        EXPECT_EQ(row[cResult], i == 6 ? "Write Failed!" : "Complete!");
        EXPECT_EQ(row[cStatus], i == 6 ? "1" : "0");
        inChips.push_back(row[cSerial]);
    }
    std::sort(inChips.begin(), inChips.end());
    EXPECT_EQ(inChips, (std::vector<std::string>{"100", "101", "102", "103", "104", "105"}));
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
    // A board taken on again waits for an empty socket: it may hold the chip
    // it programmed before it went.
    goes->Plug();
    Reseat(*goes);
    ASSERT_TRUE(WaitForRows(4)) << station->ErrSoFar();
    EXPECT_EQ(Rows().back()[cPort], goes->PortPath());
    // So does a board that appears with a chip in after the first search: a
    // board plugged back in may come under another port's name.
    auto late = Board({}, "b2");
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile(FDir.File("bg.out"))
                   .find(late->PortPath() + ": remove the chip to go on\n") != std::string::npos;
    }));
    EXPECT_EQ(Rows().size(), 1u + 4) << ReadFile(FLog);
    Reseat(*late);
    ASSERT_TRUE(WaitForRows(5)) << station->ErrSoFar();
    EXPECT_EQ(Rows().back()[cPort], late->PortPath());
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esComplete);
}

// A chip left in is programmed once, whatever its board's replies do: a lost
// chip query or a slow greeting tells nothing about the socket, and a board
// that fell silent is let go, taken on again at the next search, and waits
// for an empty socket, saying that its chip holds the file already.
TEST_F(CliStationTest, AChipLeftInIsNeverProgrammedTwice) {
    auto board = Board();
    auto station = Station({});
    ASSERT_TRUE(WaitForRows(1)) << station->ErrSoFar();
    const std::string out = FDir.File("bg.out");
    auto queried = [&](long times) {
        board->ClearCommandLog();
        return WaitFor([&] {
            const auto log = board->CommandLog();
            return std::count(log.begin(), log.end(), "p") >= times;
        });
    };
    sim::Faults faults;
    faults.noAnswerToP = true;
    board->SetFaults(faults);
    ASSERT_TRUE(queried(3));
    faults = {};
    faults.splitReplies = std::chrono::milliseconds(25);  // a greeting of about 650 ms
    board->SetFaults(faults);
    ASSERT_TRUE(queried(3));
    faults = {};
    faults.silent = true;
    board->SetFaults(faults);
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile(out).find(board->PortPath() + ": programmer gone\n") != std::string::npos;
    }));
    board->SetFaults({});
    ASSERT_TRUE(WaitFor([&] {
        const std::string text = ReadFile(out);
        const auto held = text.find(board->PortPath() + ": already holds ");
        return held != std::string::npos &&
               text.find(board->PortPath() + ": remove the chip\n", held) != std::string::npos;
    }));
    ASSERT_TRUE(queried(2));
    EXPECT_EQ(Rows().size(), 2u) << ReadFile(FLog);
    Reseat(*board);
    ASSERT_TRUE(WaitForRows(2)) << station->ErrSoFar();
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esComplete);
    EXPECT_EQ(Rows().size(), 3u) << ReadFile(FLog);
}

// Ctrl+C ends the station at once when no write pass is under way: an erase
// that keeps failing hears it, and so does a query whose reply is lost. The
// chip that was being erased gives its number back.
TEST_F(CliStationTest, CtrlCEndsAtOnceWithoutAWritePass) {
    sim::BoardOptions slowErase;
    slowErase.eraseDelay = std::chrono::milliseconds(3000);
    slowErase.faults.eraseFailures = 10;  // ten tries: half a minute
    auto erasing = Board(slowErase, "b0");
    auto waiting = Board({}, "b1");
    auto station = Station({"--serial", "0x800=1"});
    ASSERT_TRUE(WaitForRows(1)) << station->ErrSoFar();
    sim::Faults lost;
    lost.noAnswerToP = true;
    waiting->SetFaults(lost);
    waiting->ClearCommandLog();
    ASSERT_TRUE(WaitFor([&] {
        const auto log = erasing->CommandLog();
        return std::count(log.begin(), log.end(), "e") >= 2 && Logged(*waiting, "p");
    }));
    const auto asked = std::chrono::steady_clock::now();
    station->Signal(SIGINT);
    CliResult r = station->Wait();
    // The erase under way ends (3 s at most); ten of them would take 30 s.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(15));
    EXPECT_EQ(r.status, cli::esComplete) << r.out << r.err;
    const TRows log = Rows();
    ASSERT_EQ(log.size(), 3u) << ReadFile(FLog);
    EXPECT_EQ(log[2][cResult], "Stopped!");
    EXPECT_EQ(log[2][cStatus], "130");
    EXPECT_EQ(log[2][cNumber], "given back");
}

// 0xFFFF is what an erased chip holds: never handed out; the series then
// runs out, and the station ends after the chips under way.
TEST_F(CliStationTest, ASeriesUsedUpEndsTheStation) {
    auto board = Board();
    auto station = Station({"--serial", "0x800=0xFFFE"});
    ASSERT_TRUE(WaitForRows(1)) << station->ErrSoFar();
    Reseat(*board);
    CliResult r = station->Wait();
    EXPECT_EQ(r.status, cli::esFailedStep);
    EXPECT_THAT(r.err, HasSubstr("serial numbers used up"));
    ASSERT_EQ(Rows().size(), 2u) << ReadFile(FLog);
    EXPECT_EQ(Rows()[1][cSerial], "65534");
}

// A station whose state file is lost (or that starts in another folder with
// the same log) never hands out a number that the log holds in a chip.
TEST_F(CliStationTest, TheLogIsTheRecordOfTheNumbersInChips) {
    auto board = Board();
    const std::vector<std::string> oneChip{"--serial", "0x800=100", "--chips", "1"};
    EXPECT_EQ(Station(oneChip)->Wait().status, cli::esComplete);
    std::filesystem::remove(FLog + ".serial");
    board->RemoveChip();
    board->SeatChip();
    auto station = Station(oneChip);
    CliResult r = station->Wait();
    EXPECT_EQ(r.status, cli::esComplete) << r.err;
    EXPECT_THAT(r.err, HasSubstr("the series goes on after 100"));
    ASSERT_EQ(Rows().size(), 3u) << ReadFile(FLog);
    EXPECT_EQ(Rows()[1][cSerial], "100");
    EXPECT_EQ(Rows()[2][cSerial], "101");
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

// A 2051/4051 board greets as one with its socket empty: Enter starts each
// chip, and only a board that waits for it at that moment.
TEST_F(CliStationTest, A2051BoardWaitsForEnterBeforeEachChip) {
    sim::BoardOptions options = WithChip(sim::Chip2051(2048));
    options.baud = 19200;  // a chip takes long enough to press Enter meanwhile
    auto board = Board(options);
    auto station = Station({}, true);
    // Waits until the board asks for Enter (again, after its chip's result).
    auto asksForEnter = [&] {
        return WaitFor([&] {
            station->ReadTerminal();
            const std::string& text = station->Terminal();
            const auto result = text.rfind("Complete!");
            return text.find("seat a chip, then press Enter",
                             result == std::string::npos ? 0 : result) != std::string::npos;
        });
    };
    ASSERT_TRUE(asksForEnter()) << station->Terminal();
    station->Type("\r");
    ASSERT_TRUE(WaitFor([&] {
        station->ReadTerminal();
        return Logged(*board, "w");
    }));
    station->Type("\r");  // while the chip is programmed: kept for no one
    ASSERT_TRUE(WaitFor([&] {
        station->ReadTerminal();
        return Rows().size() == 2;
    }));
    ASSERT_TRUE(asksForEnter());
    // A board that waits for Enter is still looked at: unplugged, it goes.
    board->Unplug();
    ASSERT_TRUE(WaitFor([&] {
        station->ReadTerminal();
        return station->Terminal().find("programmer gone") != std::string::npos;
    }));
    station->Signal(SIGINT);
    CliResult r = station->Wait();
    EXPECT_EQ(r.status, cli::esComplete) << r.out;
    ASSERT_EQ(Rows().size(), 2u) << ReadFile(FLog);
    EXPECT_EQ(Rows()[1][cChip], "89C2051/4051");
    EXPECT_TRUE(Holds(board->Flash(), 0, FData));
}

// --port: the station greets that port alone.
TEST_F(CliStationTest, APortNamedIsTheOnlyOneGreeted) {
    auto other = Board({}, "b0");
    auto named = Board({}, "b1");
    auto station = Station({"--port", named->PortPath(), "--chips", "1"});
    EXPECT_EQ(station->Wait().status, cli::esComplete) << station->ErrSoFar();
    ASSERT_EQ(Rows().size(), 2u) << ReadFile(FLog);
    EXPECT_EQ(Rows()[1][cPort], named->PortPath());
    EXPECT_TRUE(other->CommandLog().empty());
}

// With standard input at its end no Enter can come: a 2051 board's line says
// so, and its chip is left alone.
TEST_F(CliStationTest, A2051BoardSaysSoWhenNoEnterCanCome) {
    auto board = Board(WithChip(sim::Chip2051(2048)));
    auto station = Station({});  // standard input: /dev/null
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile(FDir.File("bg.out")).find("standard input ended: no Enter") !=
               std::string::npos;
    })) << ReadFile(FDir.File("bg.out"));
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esComplete);
    EXPECT_EQ(Rows().size(), 1u) << ReadFile(FLog);
}

// The station as a library: an Enter pressed the moment a 2051 board asks for
// it (the host presses it while it shows the request) starts the chip.
TEST_F(CliStationTest, AnEnterPressedAsTheRequestShowsStartsTheChip) {
    struct EnterAtOnce : station::IStationHost {
        station::TStation* Station = nullptr;
        std::atomic<int> Rows = 0;
        bool Pressed = false;
        void Step(std::size_t, const std::string&) override {}
        void Progress(std::size_t, int, int, double) override {}
        void PassEnded(std::size_t, int, int, double) override {}
        void Message(std::size_t, const std::string&) override {}
        std::size_t AddBoard(const std::string&, const std::string&) override { return 0; }
        void SetChip(std::size_t, const std::string&) override {}
        void BoardState(std::size_t, station::TBoardState state, const std::string&) override {
            if (state == station::TBoardState::WaitingForEnter && !std::exchange(Pressed, true)) {
                Station->EnterPressed();
            }
        }
        void ChipDone(std::size_t, const station::TStationRow&) override { ++Rows; }
        void ChipFailed(std::size_t) override {}
        void Totals(const station::TStationTotals&) override {}
        void WaitingForProgrammer() override {}
        void Notice(const std::string&, bool) override {}
    } host;
    auto board = Board(WithChip(sim::Chip2051(2048)));
    // The station looks for boards in the test's own device map.
    setenv("CORVANE_SERIALCOMM", FMap.c_str(), 1);
    struct Unset {
        ~Unset() { unsetenv("CORVANE_SERIALCOMM"); }
    } unset;
    THexFile image;
    image.SetMemSize(0xFFFF);
    ASSERT_TRUE(image.LoadHex(FFile));
    station::TStationOptions options;
    options.File = FFile;
    options.Image = &image;
    options.Log = FLog;
    station::TStation station(options, host);
    host.Station = &station;
    ASSERT_EQ(station.Open(), cli::esComplete);
    std::stop_source stop;
    std::thread run([&] { station.Run(stop.get_token()); });
    EXPECT_TRUE(WaitFor([&] { return host.Rows == 1; }, std::chrono::seconds(20)));
    stop.request_stop();
    run.join();
}

// A chip that a station finished and that stayed in its socket across a
// restart is not programmed again: its line says which number it holds. A
// number's place beyond the chip seated fails the chip and uses no number.
// A window's host: one wake until it takes the snapshot, Go for one board,
// and the snapshot tells the chip's end and number.
TEST_F(CliStationTest, AWindowHostDrawsFromTheSnapshotAndGoesOneBoard) {
    struct WindowHost : station::IStationHost {
        std::atomic<int> Wakes = 0;
        void Step(std::size_t, const std::string&) override {}
        void Progress(std::size_t, int, int, double) override {}
        void PassEnded(std::size_t, int, int, double) override {}
        void Message(std::size_t, const std::string&) override {}
        std::size_t AddBoard(const std::string&, const std::string&) override { return 0; }
        void SetChip(std::size_t, const std::string&) override {}
        void BoardState(std::size_t, station::TBoardState, const std::string&) override {}
        void ChipDone(std::size_t, const station::TStationRow&) override {}
        void ChipFailed(std::size_t) override {}
        void Totals(const station::TStationTotals&) override {}
        void WaitingForProgrammer() override {}
        void Notice(const std::string&, bool) override {}
        void Changed() override { ++Wakes; }
    } host;
    auto board = Board(WithChip(sim::Chip2051(2048)));
    setenv("CORVANE_SERIALCOMM", FMap.c_str(), 1);
    struct Unset {
        ~Unset() { unsetenv("CORVANE_SERIALCOMM"); }
    } unset;
    THexFile image;
    image.SetMemSize(0xFFFF);
    ASSERT_TRUE(image.LoadHex(FFile));
    station::TStationOptions options;
    options.File = FFile;
    options.Image = &image;
    options.Log = FLog;
    options.Serial = station::TSerialPlan{0x700, 5, {}, false};
    station::TStation station(options, host);
    ASSERT_EQ(station.Open(), cli::esComplete);
    std::stop_source stop;
    std::thread run([&] { station.Run(stop.get_token()); });
    ASSERT_TRUE(WaitFor([&] { return station.Totals().Seconds > 0.5 && host.Wakes > 0; }));
    EXPECT_EQ(host.Wakes, 1);  // however much changed meanwhile
    station::TStationSnapshot snap = station.Snapshot();
    ASSERT_EQ(snap.Boards.size(), 1u);
    EXPECT_EQ(snap.Boards[0].State, station::TBoardState::WaitingForEnter);
    EXPECT_EQ(snap.Totals.NextSerial, 5u);
    station.Go(1);  // another board's Go starts nothing here
    station.Go(0);
    ASSERT_TRUE(
        WaitFor([&] { return station.Snapshot().Boards[0].Last != station::TChipOutcome::None; }));
    snap = station.Snapshot();
    EXPECT_EQ(snap.Boards[0].Last, station::TChipOutcome::Good);
    EXPECT_EQ(snap.Boards[0].LastSerial, "5");
    EXPECT_EQ(snap.Totals.Good, 1);
    stop.request_stop();
    run.join();
    EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(CliStationTest, AFinishedChipLeftInAcrossARestartIsNotProgrammedAgain) {
    auto board = Board();
    const std::vector<std::string> serial{"--serial", "0x800=42"};
    auto station = Station(serial);
    ASSERT_TRUE(WaitForRows(1)) << station->ErrSoFar();
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esComplete);
    // Its first chip query unanswered, the board is taken on with no chip
    // named; the chip it names next is still looked at.
    sim::Faults silent;
    silent.noAnswerToP = true;
    board->SetFaults(silent);
    station = Station(serial);
    const std::string out = FDir.File("bg.out");
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(out).find(": waiting for a chip") != std::string::npos; }));
    board->SetFaults({});
    ASSERT_TRUE(WaitFor([&] {
        const std::string text = ReadFile(out);
        const auto held = text.find(": already holds ");
        return held != std::string::npos &&
               text.find(" with serial number 42\n", held) != std::string::npos;
    })) << ReadFile(out);
    Reseat(*board);
    ASSERT_TRUE(WaitForRows(2)) << station->ErrSoFar();
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esComplete);
    EXPECT_EQ(Rows()[2][cSerial], "43");

    station = Station({"--serial", "0x1FF0=1"});
    Reseat(*board);
    ASSERT_TRUE(WaitForRows(3)) << station->ErrSoFar();
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait().status, cli::esFailedStep);
    EXPECT_EQ(Rows()[3][cResult],
              "the serial number at 1FF0-1FF1 lies beyond the 89C51's 4096 bytes (0000-0FFF)");
    EXPECT_EQ(Rows()[3][cSerial], "");
    EXPECT_FALSE(Logged(*board, "e"));
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
        // Every byte of the number must lie in the memory image (0000-FFFE).
        {{"--serial", "0xFFFE=1"},
         cli::esUsage,
         "the serial number at FFFE-FFFF lies outside the memory image (0000-FFFE)"},
        {{"--serial", "0xFFFE=1", "--serial-overwrite"}, cli::esUsage, "FFFE-FFFF lies outside"},
        // Every byte of a binary file is the file's, its FF bytes too.
        {{"--serial", "0x1F0=1", "--format", "bin"}, cli::esUsage, "would overwrite bytes that"},
    };
    std::ofstream(FDir.File("rom.bin"), std::ios::binary)
        << std::string(0x100, '\x12') << std::string(0x100, '\xFF');
    for (const Case& c : cases) {
        const bool bin = std::find(c.options.begin(), c.options.end(), "bin") != c.options.end();
        std::vector<std::string> args{"station", bin ? FDir.File("rom.bin") : FFile, "--log", FLog};
        args.insert(args.end(), c.options.begin(), c.options.end());
        CliResult r = Cli(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_FALSE(Logged(*board, "e"));
    }
}

}  // namespace
}  // namespace corvane::test
