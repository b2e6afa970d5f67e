// The station in the window without a toolkit, on two virtual programmers (a
// 89C51 board and a 2051 board): tiles, counts, Go, Stop and Back, a start
// refused in the dialog, a close that waits for the chips in their write.
#include <algorithm>

#include "FrontTestSupport.h"
#include "LinkTestSupport.h"
#include "StationView.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;

// The station's dialog and view, remembered; the dialog answers as the test says.
struct RecordingStation : IStationControls {
    bool EditStationSettings(TStationSettings& settings, const std::string& error) override {
        Errors.push_back(error);
        return Edit && Edit(settings);
    }
    void ShowStationView(bool shown) override { Shown = shown; }
    void DrawStation(const TStationPicture& picture) override {
        Picture = picture;
        ++Draws;
    }
    void SetWindowTitle(const std::string& title) override { Title = title; }
    void SoundFailure() override { ++Sounds; }

    std::function<bool(TStationSettings&)> Edit;
    std::vector<std::string> Errors;
    bool Shown = false;
    TStationPicture Picture;
    int Draws = 0;
    std::string Title;
    int Sounds = 0;
};

class StationViewTest : public FrontFixture {
protected:
    void SetUp() override {
        FrontFixture::SetUp();
        Station = std::make_unique<TStationRules>(*Rules, View, Files.File("config/corvane.ini"));
        Settings.File = WriteHex(Files, "a.hex", PatternImage(4096, 300));
        Settings.Log = Files.File("log.csv");
        Settings.Serial = true;
        Settings.SerialAddress = "0700";
        Settings.SerialStart = "100";
        View.Edit = [this](TStationSettings& settings) {
            settings = Settings;
            return View.Errors.size() == 1;  // the first time only
        };
    }
    void TearDown() override {
        Station.reset();
        FrontFixture::TearDown();
        Boards.clear();
    }
    sim::VirtualProgrammer& AddBoard(const sim::Chip& chip, unsigned baud = 0) {
        sim::BoardOptions options = BoardWith(chip);
        options.eraseDelay = 1ms;
        options.baud = baud;
        Boards.push_back(StartBoard(Map, "b" + std::to_string(Boards.size()), options));
        return *Boards.back();
    }
    // The tile of the board with `chip`, once the station has one.
    const TStationTile* Tile(const std::string& chip) const {
        const auto& tiles = View.Picture.Tiles;
        const auto it = std::find_if(tiles.begin(), tiles.end(),
                                     [&](const TStationTile& t) { return t.Chip == chip; });
        return it == tiles.end() ? nullptr : &*it;
    }
    std::size_t TileIndex(const std::string& chip) const {
        return Tile(chip) - &View.Picture.Tiles[0];
    }
    bool TileShows(const std::string& chip, const std::function<bool(const TStationTile&)>& shows) {
        return ServeUntil([&] { return Tile(chip) != nullptr && shows(*Tile(chip)); });
    }
    bool TickUntil(const std::string& label) {
        for (int tick = 0; tick < 5 && Controls.Label != label; ++tick) {
            Rules->Tick();
            if (!WaitIdle()) return false;
        }
        return Controls.Label == label;
    }
    std::size_t LogRows() const {
        const std::string log = ReadWholeFile(Settings.Log);
        return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) - 1;
    }

    DeviceMap Map;
    TempDir Files;
    std::vector<std::unique_ptr<sim::VirtualProgrammer>> Boards;
    RecordingStation View;
    TStationSettings Settings;
    std::unique_ptr<TStationRules> Station;
};

TEST_F(StationViewTest, TilesShowEachChipsEndAndGoStartsOneBoard) {
    sim::VirtualProgrammer& b51 = AddBoard(sim::ChipFromCode("51"));
    AddBoard(sim::Chip2051(2048));
    const auto started = std::chrono::steady_clock::now();
    Station->StationClicked();
    EXPECT_TRUE(View.Shown);
    EXPECT_FALSE(Controls.Timer);  // the one-chip window polls no more
    const std::string c2051 = ChipLabel(ck89C2051);
    ASSERT_TRUE(TileShows("89C51", [](const TStationTile& t) { return t.ResultText == "PASS"; }));
    EXPECT_EQ(Tile("89C51")->Serial, "serial number 100");
    ASSERT_TRUE(TileShows(c2051, [](const TStationTile& t) { return t.GoEnabled; }));
    EXPECT_TRUE(Tile(c2051)->GoShown);
    EXPECT_FALSE(Tile("89C51")->GoShown);
    EXPECT_EQ(Tile(c2051)->Result, TTileResult::None);
    Station->GoClicked(TileIndex(c2051));
    ASSERT_TRUE(TileShows(c2051, [](const TStationTile& t) { return t.ResultText == "PASS"; }))
        << Tile(c2051)->Failure;
    EXPECT_EQ(Tile(c2051)->Serial, "serial number 101");

    // Taken out, then a chip that fails its erase is seated.
    b51.RemoveChip();
    ASSERT_TRUE(
        TileShows("89C51", [](const TStationTile& t) { return t.Words == "waiting for a chip"; }));
    sim::Faults faults;
    faults.eraseFailures = 10;
    b51.SetFaults(faults);
    b51.SeatChip();
    ASSERT_TRUE(
        TileShows("89C51", [](const TStationTile& t) { return t.Result == TTileResult::Fail; }));
    EXPECT_EQ(Tile("89C51")->ResultText, "FAIL");
    EXPECT_FALSE(Tile("89C51")->Failure.empty());
    EXPECT_EQ(View.Sounds, 1);
    EXPECT_EQ(View.Title, "Corvane station: 2 good, 1 failed");
    EXPECT_TRUE(View.Picture.Counts.starts_with("2 good, 1 failed, yield 66.7 %, "))
        << View.Picture.Counts;
    EXPECT_TRUE(View.Picture.Details.starts_with("next serial number 102, log " + Settings.Log))
        << View.Picture.Details;
    // Progress comes coalesced: never a picture per byte of the passes.
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    EXPECT_LE(View.Draws, seconds.count() * 10 + 30);

    Rules->EscapePressed();
    EXPECT_EQ(View.Picture.StopText, "Stopping...");
    ASSERT_TRUE(ServeUntil([this] { return View.Picture.Phase == TStationPhase::Ended; }));
    EXPECT_EQ(View.Picture.StopText, "Back");
    EXPECT_EQ(Station->Status(), 1);  // a chip failed
    EXPECT_EQ(LogRows(), 3u);
    Station->StopClicked();
    EXPECT_FALSE(View.Shown);
    EXPECT_EQ(View.Title, "");
    EXPECT_TRUE(Controls.Timer);
    EXPECT_TRUE(TickUntil("89C51"));  // the window has its board back
}

// A start the station refuses says why in the dialog, and nothing runs; the
// dialog's values are remembered for the next window.
TEST_F(StationViewTest, ARefusedStartShowsWhyInTheDialog) {
    Settings.SerialAddress = "FFFF";  // two bytes from FFFF lie outside memory
    Station->StationClicked();
    ASSERT_EQ(View.Errors.size(), 2u);
    EXPECT_NE(View.Errors[1].find("lies outside the memory image"), std::string::npos);
    EXPECT_FALSE(Station->Active());
    EXPECT_FALSE(View.Shown);
    EXPECT_TRUE(Controls.Timer);
    struct Case {
        std::string TStationSettings::*Field;
        const char* Value;
        const char* Says;
    };
    const Case cases[] = {
        {&TStationSettings::SerialAddress, "0x1G", "no hexadecimal address"},
        {&TStationSettings::SerialFormat, "le24", "format is none of"},
        {&TStationSettings::SerialStart, "70000", "no number that le16 holds"},
        {&TStationSettings::File, "", "choose the file"},
        {&TStationSettings::File, "/nonexistent/a.hex", "/nonexistent/a.hex: "},
    };
    for (const Case& c : cases) {
        TStationSettings settings = Settings;
        settings.SerialAddress = "0700";
        settings.*c.Field = c.Value;
        TStationSetup setup;
        EXPECT_NE(PrepareStation(settings, setup).find(c.Says), std::string::npos) << c.Value;
    }
    TStationRules again(*Rules, View, Files.File("config/corvane.ini"));
    EXPECT_EQ(again.Settings().SerialAddress, "FFFF");
    EXPECT_EQ(again.Settings().Log, Settings.Log);
}

// A close stops the station and closes the window once the chip in its write
// pass is done: that chip is whole and logged.
TEST_F(StationViewTest, ACloseWaitsForTheChipInItsWrite) {
    sim::VirtualProgrammer& board = AddBoard(sim::ChipFromCode("51"), 38400);
    Station->StationClicked();
    ASSERT_TRUE(TileShows("89C51", [](const TStationTile& t) { return t.Done > 0; }));
    Controls.CloseWindow();
    EXPECT_FALSE(Controls.Closed);
    EXPECT_EQ(View.Picture.Phase, TStationPhase::Stopping);
    Rules->RequestClose(143);  // the system asking again abandons nothing
    EXPECT_FALSE(Controls.Closed);
    ASSERT_TRUE(ServeUntil([this] { return Controls.Closed; }));
    EXPECT_EQ(Tile("89C51")->ResultText, "PASS");
    EXPECT_EQ(LogRows(), 1u);
    EXPECT_EQ(board.Socket().writePasses, 1u);
}

// Only the user's second close abandons the chips in their write.
TEST_F(StationViewTest, ASecondCloseEndsAtOnce) {
    AddBoard(sim::ChipFromCode("51"), 38400);
    Station->StationClicked();
    ASSERT_TRUE(TileShows("89C51", [](const TStationTile& t) { return t.Done > 0; }));
    Controls.CloseWindow();
    Controls.CloseWindow();
    EXPECT_TRUE(Controls.Closed);
    EXPECT_TRUE(Rules->WorkAbandoned());
}

}  // namespace
}  // namespace corvane::test
