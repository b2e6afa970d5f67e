// The window and the port's event monitor at work together: the timer finds
// the board and Send and Read run from Qt's event loop, while the monitor
// watches the line on its own thread and hands its wake-ups to the link's worker.
// Built into a binary of its own so that the ThreadSanitizer build
// (`make tsan`) runs just this.
#include <QTimer>
#include <algorithm>
#include <vector>

#include "AppTestSupport.h"
#include "ComThread.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

namespace corvane::apptest {
namespace {

using namespace std::chrono_literals;

class WindowSendThreadsTest : public WindowFixture {
protected:
    void TearDown() override {
        Form.reset();  // closes the port before the board goes
        Board.reset();
        WindowFixture::TearDown();
    }

    // Clicks `button` from the event loop, as a user would, and serves the
    // loop until what the click started has ended. A click that comes during
    // a poll waits for the poll's end.
    void ClickFromTheLoop(QPushButton& button) {
        bool clicked = false;
        QTimer::singleShot(0, Form.get(), [&] {
            button.click();
            clicked = true;
        });
        ASSERT_TRUE(ServeUntil([&] { return clicked && !Form->Busy(); }, 120000));
    }

    bool MonitorWatching() {
        bool watching = false;
        Form->Runner().Call([&](TProgrammerLink& link) {
            const TComThread* monitor = link.ComPort().Monitor();
            watching = monitor != nullptr && !monitor->Finished();
        });
        return watching;
    }

    std::unique_ptr<sim::VirtualProgrammer> Board;
    TTempDir Files;
};

TEST_F(WindowSendThreadsTest, SendAndReadWithTheMonitorRunning) {
    sim::BoardOptions options;
    options.chip = sim::ChipFromCode("51");
    options.eraseDelay = 1ms;
    Board = std::make_unique<sim::VirtualProgrammer>(options);
    Board->Announce(Map.Path().string(), "board");
    Board->Start();

    // The timer ticks as it does in the program.
    Form->Timer1().setInterval(50);
    ASSERT_TRUE(ServeUntil([&] { return Label().text() == "89C51"; }, 30000));
    ASSERT_TRUE(MonitorWatching());

    THexFile image;
    image.SetMemSize(4096);
    image.Clear();
    std::vector<std::uint8_t> bytes(256);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 3 + 11);
        image.SetByte(static_cast<std::uint16_t>(i), bytes[i]);
    }
    image.SaveHex(Files.File("send.hex"));
    ChosenFile = QString::fromStdString(Files.File("send.hex"));

    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast verify" : "read-back verify");
        FastVerify().setChecked(fast);
        ClickFromTheLoop(Send());
        EXPECT_EQ(Status().text(), "Complete!") << Errors.join(" / ").toStdString();
        EXPECT_TRUE(MonitorWatching());
        const std::vector<std::uint8_t> flash = Board->Flash();
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin()));
    }

    ChosenFile = QString::fromStdString(Files.File("read.hex"));
    ClickFromTheLoop(Read());
    EXPECT_EQ(Status().text(), "Complete!");

    // Polling goes on after the commands, the monitor still watching.
    int ticks = 0;
    QObject::connect(&Form->Timer1(), &QTimer::timeout, Form.get(), [&] { ++ticks; });
    ASSERT_TRUE(ServeUntil([&] { return ticks >= 3; }));
    EXPECT_EQ(Label().text(), "89C51");
    EXPECT_TRUE(MonitorWatching());
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" / ").toStdString();
    EXPECT_TRUE(Messages.isEmpty());
}

}  // namespace
}  // namespace corvane::apptest
