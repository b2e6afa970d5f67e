// The window against the virtual programmer over a pseudo-terminal: the timer
// finds the board, and Send and Read run through the buttons.
#include <QCursor>
#include <algorithm>
#include <vector>

#include "BoardWindowFixture.h"

namespace corvane::apptest {
namespace {

class WindowProgrammerTest : public BoardWindowFixture {
protected:
    void Plug(const sim::Chip& chip, std::vector<std::uint8_t> flash = {}) {
        sim::BoardOptions options = QuickBoard(chip);
        options.flash = std::move(flash);
        BoardWindowFixture::Plug(options);
    }
    sim::VirtualProgrammer& Board() { return *Boards.front(); }

    // Clicks Read into a new file and loads the file back (empty when the
    // Read did not save one).
    std::vector<std::uint8_t> ReadThroughWindow(std::uint16_t size) {
        const std::string file = Files.File("read.hex");
        std::filesystem::remove(file);
        ChosenFile = QString::fromStdString(file);
        ClickAndWait(Read());
        if (!WaitIdle()) return {};
        if (!std::filesystem::exists(file)) return {};
        THexFile image;
        image.SetMemSize(size);
        image.LoadHex(file);
        return image.Data();
    }
};

TEST_F(WindowProgrammerTest, TimerFindsTheProgrammerAndFollowsItAway) {
    Plug(sim::ChipFromCode("52"));
    ASSERT_TRUE(ServeUntil([&] { return Label().text() == "89C52"; }));
    EXPECT_TRUE(Send().isEnabled());
    EXPECT_TRUE(Read().isEnabled());
    EXPECT_TRUE(Status().text().isEmpty());
    EXPECT_EQ(ImageSizes(), std::make_pair(8192, 8192));

    Board().Unplug();
    ASSERT_TRUE(TickUntilLabel(""));
    EXPECT_FALSE(Send().isEnabled());
    EXPECT_FALSE(Read().isEnabled());

    Board().Plug();
    EXPECT_TRUE(TickUntilLabel("89C52"));
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(WindowProgrammerTest, SendProgramsTheFileAndReadSavesTheChip) {
    Plug(sim::ChipFromCode("51"));
    ASSERT_TRUE(TickUntilLabel("89C51"));
    const std::vector<std::uint8_t> bytes = Pattern(300);
    ChosenFile = HexFile(bytes, 4096);

    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast verify" : "read-back verify");
        Board().ClearCommandLog();
        FastVerify().setChecked(fast);
        ClickAndWait(Send());
        EXPECT_EQ(Status().text(), "Complete!") << Errors.join(" / ").toStdString();
        const auto log = Board().CommandLog();
        EXPECT_EQ(std::count(log.begin(), log.end(), "c"), fast ? 1 : 0);
        const std::vector<std::uint8_t> flash = Board().Flash();
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin()));
        EXPECT_TRUE(
            std::all_of(flash.begin() + 300, flash.end(), [](auto b) { return b == 0xFF; }));
    }
    EXPECT_EQ(Progress().value(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(Form->Busy());

    EXPECT_EQ(ReadThroughWindow(4096), Board().Flash());
    EXPECT_EQ(Status().text(), "Complete!");

    // With Lock ticked the chip ends locked.
    Lock().setChecked(true);
    ChosenFile = HexFile(bytes, 4096);
    ClickAndWait(Send());
    EXPECT_EQ(Status().text(), "Complete!");
    EXPECT_TRUE(Board().Locked());
    EXPECT_TRUE(Errors.isEmpty());
    EXPECT_TRUE(Messages.isEmpty());
}

// The 2051/4051 has no checksum command, whatever the box says, and reads as
// much memory as the size choice gives.
TEST_F(WindowProgrammerTest, A4051ReadsFourKilobytesAndVerifiesByReadBack) {
    std::vector<std::uint8_t> flash = Pattern(4096);
    Plug(sim::Chip2051(4096), flash);
    ASSERT_TRUE(TickUntilLabel("89C2051/4051"));
    Control<QRadioButton>(*Form, "rdoMemSize4KB").click();

    EXPECT_EQ(ReadThroughWindow(4096), flash);
    EXPECT_EQ(Status().text(), "Complete!");

    FastVerify().setChecked(true);
    Board().ClearCommandLog();
    ChosenFile = HexFile(Pattern(100), 4096);
    ClickAndWait(Send());
    EXPECT_EQ(Status().text(), "Complete!");
    const auto log = Board().CommandLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "c"), 0);
    const std::vector<std::uint8_t> written = Pattern(100);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), Board().Flash().begin()));
}

// A read-back that starts with the wrong echo shows the character it got in a
// plain message box, and the Read ends in its failure text.
TEST_F(WindowProgrammerTest, WrongEchoShowsItsMessageAndReadFails) {
    Plug(sim::ChipFromCode("51"));
    ASSERT_TRUE(TickUntilLabel("89C51"));
    sim::Faults faults;
    faults.wrongReadEcho = 'x';
    Board().SetFaults(faults);
    ChosenFile = QString::fromStdString(Files.File("chip.hex"));
    ClickAndWait(Read());
    EXPECT_EQ(Messages, QStringList{"x"});
    EXPECT_EQ(Status().text(), "Read Failed!");
    EXPECT_TRUE(Errors.isEmpty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// A save that fails after the chip has been read leaves no hourglass and no
// busy window behind: the error box shows, and polling goes on.
TEST_F(WindowProgrammerTest, FailedSaveShowsTheErrorAndPutsTheWindowBack) {
    Plug(sim::ChipFromCode("51"));
    ASSERT_TRUE(TickUntilLabel("89C51"));
    ChosenFile = QString::fromStdString(Files.File("no-such-dir/chip.hex"));
    ClickAndWait(Read());
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(Form->Busy());
    EXPECT_TRUE(Form->Timer1().isActive());
    Tick();
    EXPECT_EQ(Label().text(), "89C51");
    EXPECT_EQ(Errors.size(), 1);
}

}  // namespace
}  // namespace corvane::apptest
