// The window stays responsive while the link is on the line: the GUI thread
// handles a posted event within one second throughout a Send and a Read of a
// full 89C55 and throughout a poll over silent ports and a board that never
// answers 'p'. Escape stops a Send and a Read; closing the window stops the
// work and ends the event loop, and the worker is gone within two seconds.
#include <QCursor>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BoardWindowFixture.h"
#include "StallProbe.h"

namespace corvane::apptest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TStallProbe;

constexpr auto kResponsive = 1000ms;

long long Ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// Every status the link reports, in order, the moment it does (on the link's
// thread). A status may live a few milliseconds, less than one turn of the
// event loop under load: the status line looked at between turns can miss it.
class TStatusLog {
public:
    // Records what `runner` reports from now on, in place of its watch.
    void Watch(TLinkRunner& runner) {
        TLinkRunner::TWatch watch;
        watch.Status = [state = FState](const std::string& text) {
            const std::lock_guard lock(state->Lock);
            state->Texts << QString::fromStdString(text);
        };
        runner.SetWatch(std::move(watch));
    }
    QStringList Texts() const {
        const std::lock_guard lock(FState->Lock);
        return FState->Texts;
    }

private:
    // Shared with the watch, which the worker may still hold a moment.
    struct TState {
        std::mutex Lock;
        QStringList Texts;
    };
    std::shared_ptr<TState> FState = std::make_shared<TState>();
};

class WindowResponsiveTest : public BoardWindowFixture {
protected:
    sim::VirtualProgrammer& Plug(const std::string& name, const sim::Chip& chip,
                                 sim::Faults faults = {}) {
        return BoardWindowFixture::Plug(QuickBoard(chip, faults), name);
    }
};

TEST_F(WindowResponsiveTest, SendAndReadOfAFull89C55) {
    sim::VirtualProgrammer& board = Plug("board", sim::ChipFromCode("55"));
    ASSERT_TRUE(TickUntilLabel("89C55"));
    const std::vector<std::uint8_t> bytes = Pattern(20480);
    ChosenFile = HexFile(bytes, 20480);

    TStallProbe probe(20ms);
    const auto start = Clock::now();
    ClickAndWait(Send());
    const auto sent = Clock::now();
    EXPECT_EQ(Status().text(), "Complete!") << Errors.join(" / ").toStdString();
    EXPECT_EQ(board.Flash(), bytes);

    const std::string file = Files.File("read.hex");
    ChosenFile = QString::fromStdString(file);
    ClickAndWait(Read());
    EXPECT_EQ(Status().text(), "Complete!");
    THexFile read;
    read.SetMemSize(20480);
    read.LoadHex(file);
    EXPECT_EQ(read.Data(), bytes);
    probe.Stop();
    ServeUntil([&] { return false; }, 50);

    std::printf("Send %lld ms, Read %lld ms, %ld probe events, longest wait %lld ms\n",
                Ms(sent - start), Ms(Clock::now() - sent), probe.Handled(), Ms(probe.Longest()));
    EXPECT_LT(probe.Longest(), kResponsive);
    EXPECT_GT(probe.Handled(), 0);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
}

// Four ports whose boards never answer and a board that greets but never
// answers 'p': the poll greets the five at once (half a second for the
// silent ones) and then waits for the chip code. Closing the window meanwhile stops that wait and
// ends the event loop, as it ends the program.
TEST_F(WindowResponsiveTest, PollOverSilentPortsAndABoardThatNeverAnswersP) {
    sim::Faults silent;
    silent.silent = true;
    for (const char* name : {"a1", "a2", "a3", "a4"}) Plug(name, sim::ChipFromCode("51"), silent);
    sim::Faults noP;
    noP.noAnswerToP = true;
    Plug("b", sim::ChipFromCode("52"), noP);

    Form->show();
    TStallProbe probe(20ms);
    TStatusLog statuses;
    statuses.Watch(Form->Runner());
    Form->Timer1Timer();
    ASSERT_TRUE(ServeUntil([&] { return Status().text() == "Identify target chip ..."; }));
    // Well into the wait for the chip code.
    const auto waiting = Clock::now();
    ServeUntil([&] { return Clock::now() - waiting > 1500ms; }, 5000);
    EXPECT_TRUE(Form->Busy()) << "the poll still waits for 'p'";
    EXPECT_EQ(Status().text(), "Identify target chip ...");
    // Each of the five ports was named as it was opened, and then the chip was
    // asked for. The ports go in the order of their names: when the board
    // that answers comes first, the last of them shows for milliseconds.
    const QStringList said = statuses.Texts();
    const QStringList tried = said.filter("Try to connect by : ");
    ASSERT_EQ(tried.size(), 5) << said.join(" | ").toStdString();
    EXPECT_EQ(said.indexOf("Identify target chip ..."), said.indexOf(tried.back()) + 1)
        << said.join(" | ").toStdString();

    // Closed from the event loop, as the window manager's close button does;
    // the event loop ends as the program's does.
    bool closedLast = false;
    QObject::connect(qApp, &QGuiApplication::lastWindowClosed, [&] { closedLast = true; });
    Clock::time_point closed;
    QTimer::singleShot(0, Form.get(), [&] {
        closed = Clock::now();
        Form->close();
    });
    EXPECT_EQ(ExecWithin(10000), 0) << "the event loop ended with the window";
    const auto loopEnded = Clock::now() - closed;
    probe.Stop();  // the window is gone; what follows is the program's exit
    EXPECT_TRUE(closedLast);
    EXPECT_FALSE(Form->isVisible());
    // As main() ends: the wait for 'p' stops, the link gives the board what
    // is left of that command's time to finish its answer (at most 5 s),
    // and the port closes.
    Form.reset();
    const auto workerEnded = Clock::now() - closed;

    std::printf(
        "poll: longest wait of the GUI thread %lld ms; after the close the window was gone in "
        "%lld ms and the worker in %lld ms\n",
        Ms(probe.Longest()), Ms(loopEnded), Ms(workerEnded));
    EXPECT_LT(probe.Longest(), kResponsive);
    EXPECT_LT(loopEnded, 2s);
    EXPECT_LT(workerEnded, 2s + 5s);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
}

TEST_F(WindowResponsiveTest, EscapeStopsASendAndARead) {
    sim::VirtualProgrammer& board = Plug("board", sim::ChipFromCode("52"));
    ASSERT_TRUE(TickUntilLabel("89C52"));
    const std::vector<std::uint8_t> bytes = Pattern(8192);
    ChosenFile = HexFile(bytes, 8192);

    AtPosition("Writing", 1000, [this] { PressEscape(); });
    ClickAndWait(Send());
    EXPECT_TRUE(Reached);
    EXPECT_EQ(Status().text(), "Stopped!");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(Progress().value(), 0);
    const std::vector<std::uint8_t> flash = board.Flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 1000, flash.begin()));
    EXPECT_FALSE(std::equal(bytes.begin(), bytes.end(), flash.begin())) << "the write stopped";
    // The board is back at its prompt: the next poll still sees the chip.
    Tick();
    EXPECT_EQ(Label().text(), "89C52");

    // A stopped Read leaves the file that was there as it was.
    const std::string file = Files.File("chip.hex");
    { std::ofstream(file) << ":00000001FF\n"; }
    ChosenFile = QString::fromStdString(file);
    Unhook();
    AtPosition("Reading", 1000, [this] { PressEscape(); });
    ClickAndWait(Read());
    EXPECT_TRUE(Reached);
    EXPECT_EQ(Status().text(), "Stopped!");
    std::ifstream in(file);
    std::stringstream kept;
    kept << in.rdbuf();
    EXPECT_EQ(kept.str(), ":00000001FF\n");
    Tick();
    EXPECT_EQ(Label().text(), "89C52");

    // Escape without work changes nothing; the next Send runs to its end.
    PressEscape();
    Unhook();
    ChosenFile = HexFile(bytes, 8192);
    ClickAndWait(Send());
    EXPECT_EQ(Status().text(), "Complete!");
    EXPECT_EQ(board.Flash(), bytes);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
}

// The options a workflow reads are those of the click: changing them while
// it runs changes nothing in it.
TEST_F(WindowResponsiveTest, OptionsAreTakenAtTheClick) {
    sim::VirtualProgrammer& board = Plug("board", sim::ChipFromCode("51"));
    ASSERT_TRUE(TickUntilLabel("89C51"));
    ChosenFile = HexFile(Pattern(2000), 4096);
    board.ClearCommandLog();
    FastVerify().setChecked(true);
    Lock().setChecked(false);
    Send().click();
    EXPECT_TRUE(Form->Working());
    FastVerify().setChecked(false);
    Lock().setChecked(true);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Status().text(), "Complete!");
    const auto log = board.CommandLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "c"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "l"), 0);
    EXPECT_FALSE(board.Locked());
}

// Clicks that come while work runs: one during a workflow is dropped; one
// during a poll waits for the poll's end, as it waited when the poll held
// the window.
TEST_F(WindowResponsiveTest, ClicksWhileBusy) {
    sim::VirtualProgrammer& board = Plug("board", sim::ChipFromCode("51"));
    ASSERT_TRUE(TickUntilLabel("89C51"));
    ChosenFile = HexFile(Pattern(2000), 4096);
    Send().click();
    ASSERT_TRUE(Form->Working());
    Send().click();
    Read().click();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Asked.size(), 1u);

    // A greeting that dribbles in: the poll lasts a while.
    sim::Faults slow;
    slow.splitReplies = 10ms;
    board.SetFaults(slow);
    ChosenFile.reset();
    Asked.clear();
    Form->Timer1Timer();
    ASSERT_TRUE(Form->Busy());
    Read().click();
    EXPECT_TRUE(Asked.empty());
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Asked.size(), 1u);
    EXPECT_EQ(Asked[0], TFrmMain::TFileDialog::Save);
    EXPECT_EQ(Label().text(), "89C51");
}

// A 2051/4051 board that answers every read-back with the wrong echo: the
// erase tries ten times, but the box shows once.
TEST_F(WindowResponsiveTest, OneWrongEchoBoxPerErase) {
    sim::Faults faults;
    faults.wrongReadEcho = 'x';
    Plug("board", sim::Chip2051(2048), faults);
    ASSERT_TRUE(TickUntilLabel("89C2051/4051"));
    Form->Runner().Call([](TProgrammerLink& link) { link.SetCommandPause(0ms); });
    ChosenFile = HexFile(Pattern(100), 2048);
    ClickAndWait(Send());
    EXPECT_EQ(Status().text(), "Erase Failed!");
    EXPECT_EQ(Messages, QStringList{"x"});
    // The next read-back shows its own box again.
    ChosenFile = QString::fromStdString(Files.File("chip.hex"));
    ClickAndWait(Read());
    EXPECT_EQ(Status().text(), "Read Failed!");
    EXPECT_EQ(Messages, (QStringList{"x", "x"}));
}

// The dialogs open in the folder of the file last chosen, in either dialog.
TEST_F(WindowResponsiveTest, DialogsOpenInTheFolderLastUsed) {
    ShowKind(ck89C51);
    Form->SetFileChooser(nullptr);
    TTempDir first;
    const QString firstFolder = QString::fromStdString(first.Path().string());
    { std::ofstream(first.File("a.hex")) << ":00000001FF\n"; }
    auto& open = Control<QFileDialog>(*Form, "OpenDialog1");
    auto& save = Control<QFileDialog>(*Form, "SaveDialog1");
    QStringList openedIn;
    // The user, inside each dialog: notes where it opened, then picks a.hex
    // in the first folder (Send) or cancels (Read).
    QTimer user;
    user.setInterval(10);
    QObject::connect(&user, &QTimer::timeout, [&] {
        for (QFileDialog* dialog : {&open, &save}) {
            if (!dialog->isVisible()) continue;
            openedIn << dialog->directory().absolutePath();
            if (dialog == &open) {
                dialog->findChild<QLineEdit*>("fileNameEdit")->setText(first.File("a.hex").c_str());
                static_cast<QDialog*>(dialog)->accept();
            } else {
                dialog->reject();
            }
        }
    });
    user.start();
    ClickAndWait(Send());
    ClickAndWait(Read());
    user.stop();
    ASSERT_EQ(openedIn.size(), 2);
    EXPECT_EQ(openedIn[1], firstFolder);
    EXPECT_EQ(Status().text(), "No data to program!");
}

}  // namespace
}  // namespace corvane::apptest
