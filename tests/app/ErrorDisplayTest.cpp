#include <QCursor>
#include <QEvent>
#include <QObject>
#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "AppTestSupport.h"
#include "QtEventDispatcher.h"

namespace corvane::apptest {
namespace {

class TThrowingObject : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw Exception("Port gone");
        return QObject::event(e);
    }
};

class ErrorDisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        App().SetErrorDisplay([this](const QString& message) { Errors << message; });
    }
    void TearDown() override { App().SetErrorDisplay(nullptr); }
    QStringList Errors;
};

TEST_F(ErrorDisplayTest, ExceptionLeavingAnEventHandlerIsShownAndTheLoopGoesOn) {
    TThrowingObject object;
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    ASSERT_TRUE(ServeUntil([&] { return Errors.size() == 2; }));
    EXPECT_EQ(Errors[0], "Port gone");

    QEvent direct(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&object, &direct));
    EXPECT_EQ(Errors.size(), 3);
}

TEST_F(ErrorDisplayTest, AnExceptionRaisedWhileTheBoxIsOpenDoesNotStackAnotherBox) {
    int shown = 0;
    App().SetErrorDisplay([&](const QString&) {
        ++shown;
        // A nested loop runs while the box is open; another failure meanwhile.
        TApplication::HandleException(std::make_exception_ptr(std::runtime_error("again")));
    });
    TApplication::HandleException(std::make_exception_ptr(std::runtime_error("first")));
    EXPECT_EQ(shown, 1);
    TApplication::HandleException(std::make_exception_ptr(std::runtime_error("later")));
    EXPECT_EQ(shown, 2);
}

// The monitor thread hands its jobs to the GUI thread, which runs them from
// Qt's event loop while the monitor waits.
TEST_F(ErrorDisplayTest, DispatcherJobsRunOnTheGuiThreadFromTheEventLoop) {
    TQtEventDispatcher bridge;
    std::atomic<bool> sent{false};
    std::thread::id ranOn;
    std::thread monitor([&] {
        bridge.Dispatcher()->Send([&] { ranOn = std::this_thread::get_id(); });
        sent = true;
    });
    ASSERT_TRUE(ServeUntil([&] { return sent.load(); }));
    monitor.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // A handler's exception that no sender waits for reaches the error display.
    std::thread messenger(
        [&] { bridge.Dispatcher()->SendMessage([] { throw Exception("Line error"); }); });
    ASSERT_TRUE(ServeUntil([&] { return !Errors.isEmpty(); }));
    messenger.join();
    EXPECT_EQ(Errors, QStringList{"Line error"});
}

TEST_F(ErrorDisplayTest, ABridgeThatIsGoneNoLongerWakesTheGuiThread) {
    auto bridge = std::make_unique<TQtEventDispatcher>();
    const auto dispatcher = bridge->Dispatcher();
    bridge.reset();
    bool ran = false;
    dispatcher->Post([&] { ran = true; });
    QApplication::processEvents();
    EXPECT_FALSE(ran);
    EXPECT_EQ(dispatcher->ProcessPending(), 1);  // whoever serves it next runs it
    EXPECT_TRUE(ran);
}

using HandlerFailureTest = WindowFixture;

// A file the HEX reader refuses ends the Send click with the error box; the
// window is idle and polling again afterwards.
TEST_F(HandlerFailureTest, SendOfABadFileShowsTheErrorAndLeavesTheWindowIdle) {
    ShowKind(ck89C51);
    const TTempDir dir;
    { std::ofstream(dir.File("bad.hex")) << ":10000000NOT A HEX LINE\n"; }
    ChosenFile = QString::fromStdString(dir.File("bad.hex"));
    ClickAndWait(Send());
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_FALSE(Errors[0].isEmpty());
    EXPECT_FALSE(Form->Busy());
    EXPECT_TRUE(Form->Timer1().isActive());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    ChosenFile = QString::fromStdString(dir.File("missing.hex"));
    ClickAndWait(Send());
    EXPECT_EQ(Errors.size(), 2);
    EXPECT_FALSE(Form->Busy());

    // Polling goes on: no programmer answers for the chip shown, so the
    // next tick drops it and the one after scans the (empty) map.
    Tick();
    EXPECT_FALSE(Send().isEnabled());
    Tick();
    EXPECT_EQ(Status().text(), "Available port not found!");
}

// Whatever a workflow leaves behind when it fails, the click puts back the
// cursors it showed and the timer.
TEST_F(HandlerFailureTest, ClickPutsCursorAndTimerBackAfterAFailure) {
    ShowKind(ck89C51);
    const TTempDir dir;
    {
        std::ofstream(dir.File("big.hex")) << ":01FFF0000010\n:00000001FF\n";  // beyond 4 KB
    }
    // A chooser that leaves an hourglass and a stopped timer behind.
    Form->SetFileChooser([&](TFrmMain::TFileDialog) -> std::optional<QString> {
        Form->ShowWaitCursor();
        Form->SetPollTimerEnabled(false);
        return QString::fromStdString(dir.File("big.hex"));
    });
    ClickAndWait(Send());
    EXPECT_EQ(Errors.size(), 1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(Form->Timer1().isActive());
    EXPECT_FALSE(Form->Busy());
}

}  // namespace
}  // namespace corvane::apptest
