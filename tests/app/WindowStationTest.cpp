// The Qt window running a station on two virtual programmers (a 89C51 board
// and a 2051 board), offscreen: the settings dialog, the tiles with PASS and
// FAIL, Go by the space bar, the title's counts, Escape and Back.
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

#include "BoardWindowFixture.h"
#include "StationDialog.h"

namespace corvane::apptest {
namespace {

class WindowStationTest : public BoardWindowFixture {
protected:
    void SetUp() override {
        // The dialog's values go into a settings file of the test's own.
        std::filesystem::create_directories(Files.Path() / "config" / "corvane");
        setenv("XDG_CONFIG_HOME", Files.File("config").c_str(), 1);
        BoardWindowFixture::SetUp();
    }
    void TearDown() override {
        BoardWindowFixture::TearDown();
        unsetenv("XDG_CONFIG_HOME");
    }
    // The tile of the board with `chip`, once the view has one.
    QWidget* Tile(const QString& chip) {
        for (QWidget* tile : Form->findChildren<QWidget*>()) {
            if (!tile->objectName().startsWith(QLatin1String("stationTile")) || tile->isHidden()) {
                continue;
            }
            const auto* name = tile->findChild<QLabel*>(QStringLiteral("tileName"));
            if (name->text().endsWith(QLatin1String("  ") + chip)) return tile;
        }
        return nullptr;
    }
    QString TileText(const QString& chip, const char* label) {
        QWidget* tile = Tile(chip);
        if (tile == nullptr) return {};
        const auto* part = tile->findChild<QLabel*>(QString::fromLatin1(label));
        return !part->isHidden() ? part->text() : QString();
    }
    bool TileShows(const QString& chip, const char* label, const QString& text) {
        return ServeUntil([&] { return TileText(chip, label) == text; }, 60000);
    }
};

TEST_F(WindowStationTest, RunsAStationOnTwoBoardsAndGoesBack) {
    sim::VirtualProgrammer& b51 = Plug(QuickBoard(sim::ChipFromCode("51")), "b0");
    Plug(QuickBoard(sim::Chip2051(2048)), "b1");
    const QString file = HexFile(Pattern(300), 4096);
    const std::string log = Files.File("log.csv");
    // The dialog, filled in and started as the user does.
    QTimer::singleShot(0, [&] {
        auto* dialog = dynamic_cast<TStationDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QLineEdit*>(QStringLiteral("stationFile"))->setText(file);
        dialog->findChild<QLineEdit*>(QStringLiteral("stationLog"))
            ->setText(QString::fromStdString(log));
        dialog->findChild<QPushButton*>(QStringLiteral("stationStart"))->click();
    });
    Control<QPushButton>(*Form, "btnStation").click();
    ASSERT_TRUE(Form->Station().Active());
    EXPECT_FALSE(Control<QWidget>(*Form, "stationView").isHidden());
    EXPECT_TRUE(Control<QWidget>(*Form, "chipPage").isHidden());
    EXPECT_FALSE(Form->Timer1().isActive());

    ASSERT_TRUE(TileShows("89C51", "tileResult", "PASS"));
    const QString c2051 = QStringLiteral("89C2051/4051");
    ASSERT_TRUE(ServeUntil(
        [&] {
            QWidget* tile = Tile(c2051);
            return tile != nullptr &&
                   tile->findChild<QPushButton*>(QStringLiteral("tileGo"))->isEnabled();
        },
        60000));
    // The space bar on the tile is its Go.
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(Tile(c2051), &space);
    ASSERT_TRUE(TileShows(c2051, "tileResult", "PASS"));

    b51.RemoveChip();
    ASSERT_TRUE(TileShows("89C51", "tileWords", "waiting for a chip"));
    sim::Faults faults;
    faults.eraseFailures = 10;
    b51.SetFaults(faults);
    b51.SeatChip();
    ASSERT_TRUE(TileShows("89C51", "tileResult", "FAIL"));
    EXPECT_FALSE(TileText("89C51", "tileFailure").isEmpty());
    EXPECT_EQ(Form->windowTitle(), "Corvane station: 2 good, 1 failed");

    PressEscape();
    auto& stop = Control<QPushButton>(*Form, "btnStationStop");
    ASSERT_TRUE(ServeUntil([&] { return stop.text() == "&Back"; }, 60000));
    stop.click();
    EXPECT_FALSE(Control<QWidget>(*Form, "chipPage").isHidden());
    EXPECT_EQ(Form->size(), QSize(302, 146));
    EXPECT_EQ(Form->windowTitle(), "Corvane V4.0");
    EXPECT_TRUE(Form->Timer1().isActive());
    EXPECT_TRUE(Messages.isEmpty() && Errors.isEmpty());  // no box while the station ran
    QFile rows(QString::fromStdString(log));
    ASSERT_TRUE(rows.open(QIODevice::ReadOnly));
    EXPECT_EQ(rows.readAll().count('\n'), 4);
}

}  // namespace
}  // namespace corvane::apptest
