// The window's rules with the worker on a virtual programmer: a stop belongs
// to the command it was asked for, a close during a Send waits for the board,
// and a message box blocks the worker, never the GUI thread, nor a shut-down.
#include <algorithm>
#include <atomic>
#include <thread>

#include "FrontTestSupport.h"
#include "LinkTestSupport.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kCount = 1024;

class WindowBoardTest : public FrontFixture {
protected:
    void SetUp() override {
        sim::BoardOptions options = BoardWith(sim::ChipFromCode("51"));
        options.eraseDelay = 1ms;
        options.writePause = 0ms;
        Board = StartBoard(Map, "board", options);
        FrontFixture::SetUp();
        Rules->Runner().Call([](TProgrammerLink& link) { link.SetCommandPause(0ms); });
        Image = PatternImage(4096, kCount);
        File = WriteHex(Files, "send.hex", Image);
        Controls.Chooser = [this](TFileDialog) { return std::optional<std::string>(File); };
        ASSERT_TRUE(TickUntilLabel("89C51"));
    }
    void TearDown() override {
        if (Rules) Rules->Shutdown();
        FrontFixture::TearDown();  // the port closes before the board goes
        Board.reset();
    }

    bool TickUntilLabel(const std::string& label) {
        for (int tick = 0; tick < 5; ++tick) {
            Rules->Tick();
            if (!WaitIdle()) return false;
            if (Controls.Label == label) return true;
        }
        return false;
    }
    // When the write pass reaches `position`, the link waits (on its thread)
    // until it is asked to stop, and Reached() is true meanwhile.
    void HoldAtWritePosition(int position) {
        TProgrammerLink& link = Rules->Runner().Link();
        TLinkRunner::TWatch watch;
        watch.Status = [this](const std::string& text) { Writing = text.rfind("Writing", 0) == 0; };
        watch.Position = [this, &link, position](int at) {
            if (!Writing || at != position) return;
            Reached = true;
            Wake.WakeGui();
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!link.StopRequested() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
        };
        Rules->Runner().SetWatch(std::move(watch));
    }
    bool FlashHoldsTheFile() {
        const auto flash = Board->Flash();
        for (std::uint16_t i = 0; i < kCount; ++i) {
            if (flash[i] != Image.GetByte(i)) return false;
        }
        return true;
    }

    DeviceMap Map;
    TempDir Files;
    std::unique_ptr<sim::VirtualProgrammer> Board;
    THexFile Image;
    std::string File;
    std::atomic<bool> Writing{false};  // the link's thread only
    std::atomic<bool> Reached{false};
};

// Escape says "Stopping..." at once and holds what the link says meanwhile;
// the Send ends "Stopped!". The stop was that Send's own: the next Send runs
// to its end, with the options ticked when it was clicked.
TEST_F(WindowBoardTest, EscapeStopsTheSendUnderWayOnly) {
    HoldAtWritePosition(100);
    Rules->SendClicked();
    ASSERT_TRUE(Rules->Working());
    ASSERT_TRUE(ServeUntil([this] { return Reached.load(); }));
    Rules->EscapePressed();
    EXPECT_TRUE(Rules->Stopping());
    EXPECT_EQ(Controls.Status, kStopping);
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(Rules->Stopping());
    EXPECT_EQ(Controls.Status, "Stopped!");
    EXPECT_FALSE(Controls.WaitCursor);
    EXPECT_TRUE(Controls.Timer);

    // The options are those of the click.
    Rules->Runner().SetWatch({});
    Controls.LockTicked = true;
    Rules->SendClicked();
    Controls.LockTicked = false;
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Controls.Status, "Complete!");
    EXPECT_TRUE(FlashHoldsTheFile());
    EXPECT_TRUE(Board->Locked());
    EXPECT_TRUE(Controls.Errors.empty());
}

// A click or a file dropped that comes during a poll runs when the poll has
// ended (a drop is not lost to a poll the user does not see).
TEST_F(WindowBoardTest, AClickOrADropDuringAPollRunsAfterIt) {
    for (const bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "drop" : "click");
        Controls.Statuses.clear();
        Rules->Tick();
        drop ? Rules->FileDropped(File) : Rules->SendClicked();
        EXPECT_FALSE(Rules->Working());
        ASSERT_TRUE(ServeUntil([this] {
            return std::count(Controls.Statuses.begin(), Controls.Statuses.end(), "Complete!") ==
                       1 &&
                   !Rules->Busy();
        }));
        EXPECT_TRUE(FlashHoldsTheFile());
    }
    EXPECT_EQ(Controls.Asked.size(), 1u);  // the click's open dialog, none for the drop
}

// A click held during a poll is dropped when the window closes meanwhile, or
// is asked to (Win32 posts the close behind the poll's end): no dialog opens.
class HeldClickTest : public WindowBoardTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HeldClickTest, AClickHeldDuringAPollIsDroppedByAClose) {
    Controls.PostClose = GetParam();
    Rules->Tick();
    Rules->SendClicked();
    // The poll has found the chip, and its end waits for the GUI thread.
    Rules->Runner().Call([](TProgrammerLink&) {});
    EXPECT_TRUE(GetParam() || Rules->CloseAsked());
    GetParam() ? Rules->RequestClose(143) : Rules->WindowGone();
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Controls.Asked.empty());
}

INSTANTIATE_TEST_SUITE_P(Posted, HeldClickTest, ::testing::Bool());

// A file dropped while the chip is shown and nothing runs is sent with the
// options ticked then, and the dialogs open in its folder next; a drop while
// busy or without a chip does nothing.
TEST_F(WindowBoardTest, ADroppedFileIsSentWhenIdle) {
    Controls.LockTicked = true;
    Rules->FileDropped(File);
    Controls.LockTicked = false;
    EXPECT_TRUE(Rules->Working());
    Rules->FileDropped(File);
    ASSERT_TRUE(WaitIdle());
    Tick();
    EXPECT_EQ(std::count(Controls.Statuses.begin(), Controls.Statuses.end(), "Complete!"), 1);
    EXPECT_TRUE(FlashHoldsTheFile());
    EXPECT_TRUE(Board->Locked());
    EXPECT_TRUE(Controls.Asked.empty());
    Controls.Chooser = nullptr;
    Rules->ReadClicked();
    ASSERT_EQ(Controls.Requests.size(), 1u);
    EXPECT_EQ(Controls.Requests[0].Folder, FolderOf(File));

    ShowKind(ckNone);
    Rules->FileDropped(File);
    EXPECT_FALSE(Rules->Busy());
}

// The dialog's type or the name's ".bin" makes a Send or a Read a raw binary
// one; the dialog opens next with the type chosen last; a binary image under
// a HEX name is named in the error box.
TEST_F(WindowBoardTest, BinaryFilesThroughTheDialogs) {
    const auto& data = Image.Data();
    const std::string bytes(data.begin(), data.begin() + kCount);
    File = WriteText(Files, "rom.BIN", bytes);
    Controls.ChosenFilter = 0;  // "Intel Hex File": the name wins
    Rules->SendClicked();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Controls.Status, "Complete!");
    EXPECT_TRUE(FlashHoldsTheFile());

    File = Files.File("chip.img");
    Controls.ChosenFilter = 1;  // "Binary File"
    Rules->ReadClicked();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Controls.Status, "Complete!");
    const auto flash = Board->Flash();
    EXPECT_EQ(ReadWholeFile(File), std::string(flash.begin(), flash.end()));

    File = WriteText(Files, "rom.hex", bytes);
    Controls.ChosenFilter.reset();
    Rules->SendClicked();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Controls.Errors,
              std::vector<std::string>{
                  File + ": not an Intel HEX file (a raw binary file's name ends in .bin)"});
    ASSERT_EQ(Controls.Requests.size(), 3u);
    EXPECT_EQ(Controls.Requests[2].FilterIndex, 0);  // the Send's last
    Controls.Chooser = nullptr;
    Rules->ReadClicked();
    EXPECT_EQ(Controls.Requests.back().FilterIndex, 1);  // the Read's last
}

// A close closes the box the link waits for, and the Send goes on to its end.
TEST_F(WindowBoardTest, AStopClosesTheLinksMessageBox) {
    sim::Faults faults;
    faults.wrongReadEcho = 0x21;
    Board->SetFaults(faults);
    Controls.Chooser = [&](TFileDialog) { return std::optional<std::string>(Files.File("r.hex")); };
    // The box is open until it is closed: a person never clicks it.
    Controls.OnMessage = [this] {
        std::thread([this] { Rules->RequestCloseFromAnyThread(143); }).join();
        EXPECT_TRUE(ServeUntil([this] { return Controls.BoxesClosed > 0; }, 10s));
    };
    Rules->ReadClicked();
    ASSERT_TRUE(ServeUntil([this] { return Controls.Closed; }));
    EXPECT_EQ(Controls.Messages.size(), 1u);
    EXPECT_EQ(Rules->ExitStatus(), 143);
    EXPECT_FALSE(Rules->WorkAbandoned());
}

// A close (or a logoff, refused) during a Send stops it and keeps the window
// until the board's pass is finished, then closes it. A second close or Ctrl+C
// (0, 130) abandons the work at once; SIGTERM or SIGHUP (143, 129) never do.
// The shut-down leaves the board at its prompt: another window finds the chip.
using TRow = std::tuple<int, bool, bool>;
class WindowCloseTest : public WindowBoardTest, public ::testing::WithParamInterface<TRow> {};

TEST_P(WindowCloseTest, ACloseDuringASendWaitsForTheBoard) {
    const auto [request, logoffFirst, abandons] = GetParam();
    HoldAtWritePosition(200);
    Rules->SendClicked();
    ASSERT_TRUE(ServeUntil([this] { return Reached.load(); }));
    EXPECT_EQ(Controls.BlockReason, kSessionEndBlock);
    EXPECT_FALSE(logoffFirst ? Rules->SessionEndAsked(143) : Rules->CloseAsked());
    EXPECT_EQ(Controls.Status, kStopping);
    EXPECT_FALSE(Controls.Closed);
    request == 0 ? void(Rules->CloseAsked()) : Rules->RequestClose(request);
    EXPECT_EQ(Rules->WorkAbandoned(), abandons);
    EXPECT_EQ(Rules->ExitStatus(), request);
    if (!abandons) {
        ASSERT_TRUE(ServeUntil([this] { return Controls.Closed; }));
        EXPECT_EQ(Controls.Status, "Stopped!");
        EXPECT_EQ(Controls.BlockReason, "");
    }
    EXPECT_FALSE(Controls.Timer);
    Rules->Runner().SetWatch({});
    Rules->Shutdown();
    EXPECT_FALSE(Rules->Runner().Running());

    Controls.Rules = nullptr;
    Controls.Label.clear();
    Rules = std::make_unique<TWindowRules>(Controls, Wake);
    Rules->Start();
    EXPECT_TRUE(TickUntilLabel("89C51"));
}

INSTANTIATE_TEST_SUITE_P(Requests, WindowCloseTest,
                         ::testing::Values(TRow{0, false, true}, TRow{130, false, true},
                                           TRow{143, false, false}, TRow{129, false, false},
                                           TRow{143, true, false}));

// A message box the link asks for waits on the GUI thread while the worker
// waits for it; a shut-down while it is open (the window destroyed from the
// box's own event loop) does not wait for the box.
TEST_F(WindowBoardTest, AMessageBoxHoldsTheWorkerButNotAShutDown) {
    sim::Faults faults;
    faults.wrongReadEcho = 0xE9;
    Board->SetFaults(faults);
    const std::string saved = Files.File("read.hex");
    Controls.Chooser = [&](TFileDialog) { return std::optional<std::string>(saved); };
    Controls.OnMessage = [this] { EXPECT_TRUE(Rules->Working()); };
    Rules->ReadClicked();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Controls.Messages, std::vector<std::string>{"\xC3\xA9"});

    Controls.OnMessage = [this] { Rules->Shutdown(); };
    Rules->ReadClicked();
    ASSERT_TRUE(ServeUntil([this] { return Controls.Messages.size() == 2; }));
    EXPECT_FALSE(Rules->Runner().Running());
}

class WindowSearchNowTest : public FrontFixture {
protected:
    DeviceMap Map;
};

// F5 greets at once a silent port that waits for its turn.
TEST_F(WindowSearchNowTest, F5GreetsAtOnceAPortThatWaitsItsTurn) {
    Rules->Runner().Call([](TProgrammerLink& link) {
        link.ProbeSchedule() = TProbeSchedule([] { return TProbeSchedule::TClock::time_point{}; });
    });
    sim::BoardOptions options;
    options.faults.silent = true;
    auto silent = StartBoard(Map, "silent", options);
    Tick();
    Tick();  // the clock stands still: its next turn never comes
    EXPECT_EQ(silent->BytesReceived(), 1u);
    Rules->SearchNow();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(silent->BytesReceived(), 2u);
}

}  // namespace
}  // namespace corvane::test
