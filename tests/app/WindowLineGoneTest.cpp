// The programmer's line going away under the window: in the middle of a poll,
// of every step of a Send and of a Read, and while the port sits idle with its
// event monitor running. Each time the window ends up idle and polling (busy
// flag clear, Timer1 running, no hourglass left), a tick never shows an error
// box, and the board plugged back under the same map entry is found again
// within two ticks.
#include <QCursor>
#include <QObject>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

namespace corvane::apptest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCount = 64;

class WindowLineGoneTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        // The ticks of these tests are the test's own (Tick()), so that they
        // can be counted; the timer stays switched on but never fires.
        Form->Timer1().setInterval(std::chrono::hours(1));
        Form->Timer1().start();
    }
    void TearDown() override {
        Form->Runner().SetWatch({});
        Form.reset();  // closes the port before the board goes
        Board.reset();
        WindowFixture::TearDown();
    }

    void Plug(const sim::Chip& chip = sim::ChipFromCode("51")) {
        sim::BoardOptions options;
        options.chip = chip;
        options.eraseDelay = 1ms;
        options.writePause = 0ms;
        Board = std::make_unique<sim::VirtualProgrammer>(options);
        Board->Announce(Map.Path().string(), "board");
        Board->Start();
    }

    // One tick of Timer1 as the event loop delivers it, served until the
    // poll has ended.
    void Tick() {
        Form->Timer1Timer();
        ASSERT_TRUE(WaitIdle());
        ServeEvents();
    }
    static void ServeEvents() {
        QApplication::processEvents(QEventLoop::AllEvents);
        QApplication::sendPostedEvents();
    }

    // Ticks until the label shows `label`; the number of ticks it took, or
    // -1 when `limit` ticks did not do it.
    int TicksUntilLabel(const QString& label, int limit) {
        for (int tick = 1; tick <= limit; ++tick) {
            Form->Timer1Timer();
            if (!WaitIdle()) return -1;
            ServeEvents();
            if (Label().text() == label) return tick;
        }
        return -1;
    }

    void FindBoard(const QString& label = "89C51") {
        ASSERT_EQ(TicksUntilLabel(label, 3), 1) << "a free board is found by the first tick";
    }

    // A HEX file with kCount bytes of a pattern from address 0.
    QString PatternFile() {
        THexFile image;
        image.SetMemSize(4096);
        image.Clear();
        for (std::uint16_t i = 0; i < kCount; ++i) {
            image.SetByte(i, static_cast<std::uint8_t>(i * 5 + 1));
        }
        const std::string file = Files.File("send.hex");
        image.SaveHex(file);
        return QString::fromStdString(file);
    }

    // Runs `action` on the link's thread whenever the link moves the
    // progress bar, with the status text of that moment (which names the
    // pass) and the new position, before the link goes on.
    void OnProgress(std::function<void(const QString& status, int position)> action) {
        TLinkRunner::TWatch watch;
        watch.Status = [this](const std::string& text) {
            LinkStatus = QString::fromStdString(text);
        };
        watch.Position = [this, action](int position) { action(LinkStatus, position); };
        Form->Runner().SetWatch(std::move(watch));
    }

    // The line goes away once the board has taken `more` further bytes.
    void GoneAfterReceived(std::uint64_t more) {
        sim::Faults faults = Board->CurrentFaults();
        faults.lineGoneAfter = Board->BytesReceived() + more;
        Board->SetFaults(faults);
    }

    // Clicks `button` and times it.
    void Click(QPushButton& button) {
        const auto start = Clock::now();
        button.click();
        ASSERT_TRUE(WaitIdle());
        Took = Clock::now() - start;
    }

    // The window after a handler: idle, polling, no hourglass.
    void ExpectWindowIdle() {
        EXPECT_FALSE(Form->Busy());
        EXPECT_TRUE(Form->Timer1().isActive());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }

    // The workflow ended with `failure` in the status line, or with a port
    // error in the error display (and then nothing else).
    void ExpectFailedWith(const QString& failure) {
        std::printf("outcome: %s after %lld ms\n",
                    (Errors.isEmpty() ? Status().text() : Errors.join(" / ")).toUtf8().constData(),
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(Took).count()));
        if (Errors.isEmpty()) {
            EXPECT_EQ(Status().text(), failure);
        } else {
            ASSERT_EQ(Errors.size(), 1) << Errors.join(" / ").toStdString();
            EXPECT_TRUE(Errors[0].contains("(win error code: ")) << Errors[0].toStdString();
            EXPECT_NE(Status().text(), "Complete!");
        }
        ExpectWindowIdle();
    }

    // The board comes back under the same entry: the window drops the chip
    // of the old line and finds the new one within two ticks, without
    // another error box; and the board then takes a whole Send.
    void ExpectFoundAgain(const QString& label = "89C51") {
        Form->Runner().SetWatch({});
        ASSERT_TRUE(Board->WaitUnplugged(5s)) << "the line did go away";
        Board->SetFaults({});
        const qsizetype errorsBefore = Errors.size();
        Board->Plug();
        EXPECT_GE(TicksUntilLabel(label, 2), 1) << "found again within two ticks";
        EXPECT_EQ(Errors.size(), errorsBefore) << Errors.join(" / ").toStdString();
        ExpectWindowIdle();

        ChosenFile = PatternFile();
        ClickAndWait(Send());
        EXPECT_EQ(Status().text(), "Complete!");
        EXPECT_EQ(Errors.size(), errorsBefore);
    }

    // The port's dispatcher, served by the link's thread.
    std::shared_ptr<TEventDispatcher> Dispatcher() {
        std::shared_ptr<TEventDispatcher> dispatcher;
        Form->Runner().Call(
            [&](TProgrammerLink& link) { dispatcher = link.ComPort().Dispatcher(); });
        return dispatcher;
    }

    std::unique_ptr<sim::VirtualProgrammer> Board;
    TTempDir Files;
    QString LinkStatus;  // the link's thread only
    Clock::duration Took{};
};

TEST_F(WindowLineGoneTest, DuringTheGreetingOfAKnownChip) {
    Plug();
    FindBoard();
    GoneAfterReceived(1);  // the CR gets there, the greeting never comes
    const auto start = Clock::now();
    Tick();
    EXPECT_LT(Clock::now() - start, 1000ms + 2s) << "within the greeting's budget";
    // The tick that lost the chip: empty label, no buttons, no box.
    EXPECT_EQ(Label().text(), "");
    EXPECT_FALSE(Send().isEnabled());
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
    ExpectWindowIdle();
    ExpectFoundAgain();
}

TEST_F(WindowLineGoneTest, DuringTheGreetingOfAScan) {
    Plug(sim::ChipFromCode("52"));
    sim::Faults faults;
    faults.lineGoneAfterSent = 5;  // the greeting breaks off
    Board->SetFaults(faults);
    Tick();
    EXPECT_EQ(Label().text(), "");
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
    ExpectWindowIdle();
    ExpectFoundAgain("89C52");
}

TEST_F(WindowLineGoneTest, DuringAnErase) {
    Plug();
    FindBoard();
    ChosenFile = PatternFile();
    GoneAfterReceived(1);  // the 'e' gets there, its answer never comes
    Click(Send());
    ExpectFailedWith("Erase Failed!");
    EXPECT_LT(Took, 10 * (5000ms + 30000ms));
    ExpectFoundAgain();
}

TEST_F(WindowLineGoneTest, UnpluggedDuringAWritePass) {
    Plug();
    FindBoard();
    ChosenFile = PatternFile();
    OnProgress([&](const QString& status, int position) {
        if (status.startsWith("Writing") && position == 10) Board->Unplug();
    });
    Click(Send());
    ExpectFailedWith("Write Failed!");
    EXPECT_LT(Took, 20s);
    ExpectFoundAgain();
}

TEST_F(WindowLineGoneTest, UnpluggedDuringTheReadBackOfAVerify) {
    Plug();
    FindBoard();
    ChosenFile = PatternFile();
    OnProgress([&](const QString& status, int position) {
        if (status == "Verify..." && position == 20) Board->Unplug();
    });
    Click(Send());
    ExpectFailedWith("Verify Failed!");
    EXPECT_LT(Took, 20s);
    ExpectFoundAgain();
}

TEST_F(WindowLineGoneTest, GoneDuringAFastVerify) {
    Plug();
    FindBoard();
    FastVerify().setChecked(true);
    ChosenFile = PatternFile();
    // After the last byte of the write pass the next byte the host sends is
    // the checksum command: the line goes once it has arrived.
    OnProgress([&](const QString& status, int position) {
        if (status.startsWith("Writing") && position == kCount - 1) GoneAfterReceived(1);
    });
    Click(Send());
    ExpectFailedWith("Fast Verify Failed!");
    EXPECT_LT(Took, 20s);
    ExpectFoundAgain();
}

TEST_F(WindowLineGoneTest, UnpluggedDuringARead) {
    Plug();
    FindBoard();
    ChosenFile = QString::fromStdString(Files.File("chip.hex"));
    // In a pass this long the bar is given a position when it moves by a pixel.
    bool unplugged = false;
    OnProgress([&](const QString& status, int position) {
        if (status == "Reading..." && position >= 100 && !unplugged) {
            unplugged = true;
            Board->Unplug();
        }
    });
    Click(Read());
    ExpectFailedWith("Read Failed!");
    EXPECT_FALSE(std::filesystem::exists(Files.File("chip.hex"))) << "nothing saved";
    EXPECT_LT(Took, 20s);
    ExpectFoundAgain();
}

// The port sits open between two ticks, its monitor waiting for line events,
// when the line goes away.
TEST_F(WindowLineGoneTest, UnpluggedWhileThePortSitsIdle) {
    Plug();
    FindBoard();
    Tick();
    const auto dispatcher = Dispatcher();
    ASSERT_TRUE(ServeUntil([&] { return !dispatcher->HasPending(); }));
    Board->Unplug();
    ServeEvents();
    Tick();
    EXPECT_EQ(Label().text(), "");
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
    ExpectWindowIdle();
    ExpectFoundAgain();
}

// The monitor has handed over the arrival of bytes that nobody has read yet
// and waits for the link's thread (busy here) when the line goes away; the
// hand-over then reads the state of a line that is gone, which ends the
// monitor with a port error. That is the loss of the programmer, which the
// next tick notices by itself: no error box.
TEST_F(WindowLineGoneTest, UnpluggedWhileTheMonitorWaitsForTheWindow) {
    Plug();
    FindBoard();
    bool handedOver = false;
    Form->Runner().Call([&](TProgrammerLink& link) {
        // A greeting that only the monitor notices: this thread does not
        // serve the hand-over until the job ends.
        link.ComPort().SendChar('\r');
        const auto dispatcher = link.ComPort().Dispatcher();
        const auto deadline = Clock::now() + 10s;
        while (!dispatcher->HasPending() && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        handedOver = dispatcher->HasPending();
        Board->Unplug();
    });
    ASSERT_TRUE(handedOver) << "the monitor reported the reply";
    const auto dispatcher = Dispatcher();
    ASSERT_TRUE(ServeUntil([&] { return !dispatcher->HasPending(); }));
    ServeEvents();
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
    Tick();
    EXPECT_EQ(Label().text(), "");
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
    ExpectWindowIdle();
    ExpectFoundAgain();
}

// What the port's dispatcher reports to the window: a port error (the end of
// the monitor on a line that has gone) is kept from the error box, anything
// else is shown as ever.
TEST_F(WindowLineGoneTest, OnlyPortErrorsOfTheMonitorAreKeptFromTheErrorBox) {
    const auto dispatcher = Dispatcher();
    std::thread monitor([&] {
        dispatcher->Post([] { throw EComPort(errClearCommError, 5); });
        dispatcher->Post([] { throw std::runtime_error("Out of sorts"); });
    });
    monitor.join();
    ASSERT_TRUE(ServeUntil([&] { return !dispatcher->HasPending() && !Errors.isEmpty(); }));
    EXPECT_EQ(Errors, QStringList{"Out of sorts"});
}

}  // namespace
}  // namespace corvane::apptest
