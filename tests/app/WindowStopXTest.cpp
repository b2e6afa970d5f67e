// Stopping a Send or a Read, on a real X server (run under xvfb-run) against
// boards on paced lines. Escape typed with xdotool: the status line says
// "Stopping..." at its next repaint, the bar shows the rest of the pass being
// finished (or drained), and "Stopped!" comes when the board is back at its
// prompt. A close during a Send keeps the window until then; a second close
// closes it at once. The real program, sent SIGTERM during a Send, finishes
// the pass and ends, also sent it twice; a second Ctrl+C ends it at once.
#include <QProcess>
#include <QProcessEnvironment>
#include <QProgressBar>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

#include "BoardWindowFixture.h"
#include "XSupport.h"

namespace corvane::apptest {
namespace {

// Hands every event of the objects it watches to a function first.
class TEventWatch : public QObject {
public:
    explicit TEventWatch(std::function<void(QObject*, QEvent*)> seen) : FSeen(std::move(seen)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        FSeen(watched, event);
        return false;
    }

private:
    std::function<void(QObject*, QEvent*)> FSeen;
};

class WindowStopXTest : public BoardWindowFixture {
protected:
    void SetUp() override {
        if (!OnX()) GTEST_SKIP() << "needs an X server (run under xvfb-run)";
        BoardWindowFixture::SetUp();
        Form->show();
        ASSERT_TRUE(ServeUntil([&] { return Form->windowHandle()->isExposed(); }));
        RunProgram("xdotool", {"windowfocus", "--sync", WindowId(*Form)});
        ASSERT_TRUE(ServeUntil([&] { return Form->isActiveWindow(); }));
        Form->Timer1().stop();
        qApp->installEventFilter(&Watch);
        QObject::connect(&Progress(), &QProgressBar::valueChanged, &Watch, [this](int value) {
            if (Keyed) Bar.push_back({Progress().maximum(), value, Form->isVisible()});
        });
    }
    void TearDown() override {
        qApp->removeEventFilter(&Watch);
        BoardWindowFixture::TearDown();
    }

    // An 89C51 on a line paced at `baud`, found by the window.
    void PlugAt(unsigned baud) {
        Board = &Plug(QuickBoard(sim::ChipFromCode("51"), {}, baud));
        ASSERT_TRUE(TickUntilLabel("89C51"));
    }

    // Whether the bar was set to its end (the last byte of the finishing)
    // while its range was `bytes` and the window was on the screen.
    bool BarShowed(int bytes) const {
        return std::any_of(Bar.begin(), Bar.end(), [bytes](const TBarStep& step) {
            return step.Maximum == bytes && step.Value == bytes && step.Visible;
        });
    }
    // Whether the bar moved while its range was `bytes`.
    bool BarMoved(int bytes) const {
        return std::any_of(Bar.begin(), Bar.end(), [bytes](const TBarStep& step) {
            return step.Maximum == bytes && step.Value > 0;
        });
    }

    struct TBarStep {
        int Maximum;
        int Value;
        bool Visible;
    };
    sim::VirtualProgrammer* Board = nullptr;
    // From the moment the window got Escape or a close: the status line's
    // text at each of its repaints (one entry for each new text) and the bar.
    bool Keyed = false;
    QStringList Painted;
    std::vector<TBarStep> Bar;
    TEventWatch Watch{[this](QObject* watched, QEvent* event) {
        if ((event->type() == QEvent::KeyPress &&
             static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) ||
            event->type() == QEvent::Close) {
            Keyed = true;
        }
        if (Keyed && watched == &Status() && event->type() == QEvent::Paint &&
            (Painted.isEmpty() || Painted.back() != Status().text())) {
            Painted << Status().text();
        }
    }};
};

TEST_F(WindowStopXTest, EscapeSaysStoppingAtOnceAndTheBarShowsTheFinishing) {
    PlugAt(38400);
    const std::vector<std::uint8_t> bytes = Pattern(1000);
    ChosenFile = HexFile(bytes, 4096);
    AtPosition("Writing", 300, [] { Keys({"key", "Escape"}); });
    ClickAndWait(Send());
    ASSERT_TRUE(Reached);
    ASSERT_TRUE(ServeUntil([&] { return Painted.contains("Stopped!"); }))
        << Painted.join(" | ").toStdString();
    EXPECT_EQ(Painted, (QStringList{"Stopping...", "Stopped!"}));
    // 301 bytes written; the other 699 that the board expected were 0xFF,
    // which left the erased cells as they were.
    EXPECT_TRUE(BarShowed(699));
    EXPECT_EQ(Progress().value(), 0);
    std::vector<std::uint8_t> expected(4096, 0xFF);
    std::copy(bytes.begin(), bytes.begin() + 301, expected.begin());
    EXPECT_EQ(Board->Flash(), expected);
    Tick();
    EXPECT_EQ(Label().text(), "89C51");

    // A Read stopped halfway: the rest of the dump is drained.
    Unhook();
    Keyed = false;
    Painted.clear();
    ChosenFile = QString::fromStdString(Files.File("chip.hex"));
    AtPosition("Reading", 2000, [] { Keys({"key", "Escape"}); });
    ClickAndWait(Read());
    ASSERT_TRUE(Reached);
    ASSERT_TRUE(ServeUntil([&] { return Painted.contains("Stopped!"); }))
        << Painted.join(" | ").toStdString();
    EXPECT_EQ(Painted, (QStringList{"Stopping...", "Stopped!"}));
    EXPECT_TRUE(BarMoved(4096 - 2001));
    EXPECT_FALSE(std::filesystem::exists(Files.File("chip.hex")));
    Tick();
    EXPECT_EQ(Label().text(), "89C51");
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
}

// Closed as the window manager's close button closes it, from the event
// loop; the loop ends with the window, as the program's does.
TEST_F(WindowStopXTest, CloseDuringASendKeepsTheWindowUntilTheBoardIsBack) {
    PlugAt(38400);
    ChosenFile = HexFile(Pattern(1000), 4096);
    bool visibleWhenAsked = false;
    AtPosition("Writing", 300, [&] {
        Form->windowHandle()->close();
        visibleWhenAsked = Form->isVisible();
    });
    Send().click();
    EXPECT_EQ(ExecWithin(60000), 0) << "the event loop ended with the window";
    ASSERT_TRUE(Reached);
    EXPECT_TRUE(visibleWhenAsked);
    EXPECT_EQ(Painted.value(0), "Stopping...");
    EXPECT_TRUE(BarShowed(699)) << "the finishing showed before the window went";
    EXPECT_FALSE(Form->isVisible());
    EXPECT_FALSE(Form->Working());
    EXPECT_FALSE(Form->WorkAbandoned());
    EXPECT_EQ(Status().text(), "Stopped!");
    Tick();
    EXPECT_EQ(Label().text(), "89C51");
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
}

TEST_F(WindowStopXTest, ASecondCloseClosesAtOnce) {
    PlugAt(9600);  // the finishing takes seconds
    ChosenFile = HexFile(Pattern(1000), 4096);
    AtPosition("Writing", 100, [this] { Form->windowHandle()->close(); });
    Send().click();
    ASSERT_TRUE(ServeUntil([&] { return Form->Stopping(); }));
    EXPECT_TRUE(Form->isVisible());
    QTimer::singleShot(0, Form.get(), [this] { Form->windowHandle()->close(); });
    EXPECT_EQ(ExecWithin(10000), 0);
    EXPECT_FALSE(Form->isVisible());
    EXPECT_TRUE(Form->WorkAbandoned());
    EXPECT_TRUE(Form->Working()) << "closed while the pass was still being finished";
}

// The real program, on the X server, against a board of the test's own. The
// user sends a file: the window is given the keyboard, Alt+S opens the file
// dialog and the file's name is typed into it.
class WindowProgramXTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!OnX()) GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    }
    void TearDown() override {
        if (Window.state() != QProcess::NotRunning) {
            Window.kill();
            Window.waitForFinished();
        }
    }

    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CORVANE_SERIALCOMM", QString::fromStdString(Map.Path().string()));
        return env;
    }

    // Starts `corvane` and a Send of `size` bytes through it to a board at
    // `baud`; returns once the board has taken `taken` bytes of the pass.
    void StartSend(unsigned baud, std::size_t size, std::uint32_t taken) {
        Board =
            std::make_unique<sim::VirtualProgrammer>(QuickBoard(sim::ChipFromCode("51"), {}, baud));
        Board->Announce(Map.Path().string(), "board");
        Board->Start();
        SaveHexFile(Files.File("send.hex"), Pattern(size), 4096);

        Window.setProcessEnvironment(Environment());
        Window.setWorkingDirectory(QString::fromStdString(Files.Path().string()));
        Window.start(CORVANE_APP_PATH, {});
        ASSERT_TRUE(Window.waitForStarted());
        // The chip is shown once a poll has found it: the next poll's 'p' says so.
        ASSERT_TRUE(ServeUntil([&] { return Commands("p") >= 2; }, 20000));
        const QString id =
            RunProgram("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Corvane V4.0$"})
                .trimmed();
        ASSERT_FALSE(id.isEmpty());
        RunProgram("xdotool", {"windowfocus", "--sync", id});
        RunProgram("xdotool", {"key", "alt+s"});
        ASSERT_FALSE(
            RunProgram("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Open$"})
                .isEmpty());
        RunProgram("xdotool", {"type", "--delay", "20", "send.hex"});
        // An Enter that only closes the completion list is followed by
        // another, as a user would press it; one that reaches the window
        // while it works is ignored there.
        const auto written = [&] { return Commands("w") > 0; };
        for (int enter = 0; enter < 3 && !written(); ++enter) {
            RunProgram("xdotool", {"key", "Return"});
            ServeUntil(written, 3000);
        }
        ASSERT_TRUE(written());
        ASSERT_TRUE(ServeUntil([&] { return Board->PassBytesTaken() >= taken; }));
    }

    long Commands(const std::string& command) const {
        const auto log = Board->CommandLog();
        return std::count(log.begin(), log.end(), command);
    }

    TTempDir Map;
    TTempDir Files;
    std::unique_ptr<sim::VirtualProgrammer> Board;
    QProcess Window;
};

TEST_F(WindowProgramXTest, SigtermFinishesThePassAndTheProgramEnds) {
    StartSend(38400, 1000, 100);
    Window.terminate();
    Window.terminate();  // the system asking again abandons nothing
    ASSERT_TRUE(Window.waitForFinished(60000));
    EXPECT_EQ(Window.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Window.exitCode(), 143) << Window.readAllStandardError().toStdString();
    EXPECT_EQ(Board->PassBytesTaken(), 1000u) << "the pass was finished";

    QProcess detect;
    detect.setProcessEnvironment(Environment());
    detect.start(CORVANE_CLI_PATH, {"detect"});
    ASSERT_TRUE(detect.waitForFinished(20000));
    EXPECT_EQ(detect.exitCode(), 0) << detect.readAllStandardError().toStdString();
    EXPECT_TRUE(detect.readAllStandardOutput().contains("89C51"));
}

TEST_F(WindowProgramXTest, ASecondCtrlCEndsAtOnce) {
    // At 9600 baud the rest of the pass would take seconds.
    StartSend(9600, 2000, 100);
    RunProgram("kill", {"-INT", QString::number(Window.processId())});
    QByteArray said;
    ASSERT_TRUE(ServeUntil([&] {
        said += Window.readAllStandardError();
        return said.contains("Stopping...");
    }));
    RunProgram("kill", {"-INT", QString::number(Window.processId())});
    ASSERT_TRUE(Window.waitForFinished(60000));
    EXPECT_EQ(Window.exitCode(), 130);
    EXPECT_LT(Board->PassBytesTaken(), 2000u) << "the program did not wait";
    EXPECT_TRUE(Window.readAllStandardError().contains("may need a reset"));
}

}  // namespace
}  // namespace corvane::apptest
