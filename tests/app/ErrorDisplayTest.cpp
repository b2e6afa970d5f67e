#include <QCursor>
#include <QEvent>
#include <QObject>
#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "AppTestSupport.h"
#include "EventDispatcher.h"

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

using WindowDispatcherTest = WindowFixture;

// The monitor thread hands its jobs to the thread that owns the port (the
// window's worker), which runs them while the monitor waits, without the GUI
// thread; a handler's exception that no sender waits for reaches the error
// display.
TEST_F(WindowDispatcherTest, DispatcherJobsRunOnTheLinksThreadAndErrorsReachTheDisplay) {
    std::shared_ptr<TEventDispatcher> dispatcher;
    std::thread::id worker;
    Form->Runner().Call([&](TProgrammerLink& link) {
        dispatcher = link.ComPort().Dispatcher();
        worker = std::this_thread::get_id();
    });
    std::thread::id ranOn;
    std::thread monitor([&] { dispatcher->Send([&] { ranOn = std::this_thread::get_id(); }); });
    monitor.join();
    EXPECT_EQ(ranOn, worker);
    EXPECT_NE(ranOn, std::this_thread::get_id());

    std::thread messenger([&] { dispatcher->SendMessage([] { throw Exception("Line error"); }); });
    ASSERT_TRUE(ServeUntil([&] { return !Errors.isEmpty(); }));
    messenger.join();
    EXPECT_EQ(Errors, QStringList{"Line error"});
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
        Form->Rules().ShowWaitCursor();
        Form->Rules().SetPollTimerEnabled(false);
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
