// The window's rules without a toolkit and without a board: what the controls
// show for each chip kind and each change of kind, the busy guard, and the
// close and the exit status when nothing is under way.
#include <algorithm>
#include <thread>

#include "FrontTestSupport.h"
#include "TempDir.h"

#ifndef _WIN32
#include <stdlib.h>
#endif

namespace corvane::test {
namespace {

class WindowRulesTest : public FrontFixture {
protected:
    void SetUp() override {
#ifndef _WIN32
        // An empty device map: a poll finds no port. (Under Wine the poll
        // scans the prefix's own ports.)
        setenv("CORVANE_SERIALCOMM", Map.Path().c_str(), 1);
#endif
        FrontFixture::SetUp();
    }
    void TearDown() override {
        FrontFixture::TearDown();
#ifndef _WIN32
        unsetenv("CORVANE_SERIALCOMM");
#endif
    }
    // Polls that began: each switches the timer off while it runs.
    long Polls() const {
        return std::count(Controls.TimerHistory.begin(), Controls.TimerHistory.end(), false);
    }

    TempDir Map;
};

#ifdef _WIN32
const std::string kFolder = "C:\\no such folder\\";
#else
const std::string kFolder = "/no such folder/";
#endif

const TChipKind kKinds[] = {ckNone,   ck89C51, ck89LV51, ck89C52,
                            ck89LV52, ck89C55, ck89LV55, ck89C2051};

// Every change of kind, from every kind: the label (text, colour, top), the
// buttons, the size choice, Fast Verify, the status line and the images. The
// size chosen for a 2051/4051 is kept while the chip is away.
TEST_F(WindowRulesTest, EveryChangeOfKindShowsTheNewKind) {
    int round = 0;
    for (const TChipKind from : kKinds) {
        for (const TChipKind to : kKinds) {
            SCOPED_TRACE(ChipLabel(from) + " -> " + ChipLabel(to));
            Controls.SizeIndex = ++round % 2;
            ShowKind(from);
            const bool fastVerifyBefore = Controls.FastVerify;
            const auto sizesBefore = ImageSizes();
            Controls.SetStatusText("Erase Failed!");
            ShowKind(to);

            EXPECT_EQ(Controls.Label, ChipLabel(to));
            EXPECT_EQ(Controls.Colour, to == ckNone ? TLabelColour::Alert : TLabelColour::Normal);
            EXPECT_EQ(Controls.LabelTop, to == ck89C2051 ? kLabelTopWithSizes : kLabelTop);
            EXPECT_EQ(Controls.SendRead, to != ckNone);
            EXPECT_EQ(Controls.SizesShown, to == ck89C2051);
            // Losing the chip leaves the status line and Fast Verify as they were.
            EXPECT_EQ(Controls.FastVerify, to == ckNone ? fastVerifyBefore : to != ck89C2051);
            EXPECT_EQ(Controls.Status, to == ckNone ? "Erase Failed!" : "");
            const int size = to == ck89C2051 ? MemSizeForIndex(Controls.SizeIndex)
                                             : static_cast<int>(ChipMemSize(to));
            EXPECT_EQ(ImageSizes(), to == ckNone ? sizesBefore : std::make_pair(size, size));
        }
    }
    EXPECT_TRUE(Controls.Errors.empty());
}

TEST_F(WindowRulesTest, TheSizeChoiceSizesBothImages) {
    ShowKind(ck89C2051);
    for (const int index : {1, 0, 1}) {
        Controls.SizeIndex = index;
        Rules->MemSizeClicked();
        EXPECT_EQ(ImageSizes().first, MemSizeForIndex(index));
        EXPECT_EQ(ImageSizes().second, MemSizeForIndex(index));
    }
}

// A size chosen for a 2051/4051 is dropped when the link holds another chip
// by the time it runs (the poll under way found an 89C52 swapped in).
TEST_F(WindowRulesTest, ASizeChoiceIsForTheChipItWasMadeFor) {
    ShowKind(ck89C2051);
    Rules->Runner().Call([](TProgrammerLink& link) { link.SetChipKind(ck89C52); });
    Controls.SizeIndex = 1;
    Rules->MemSizeClicked();
    EXPECT_EQ(ImageSizes(), std::make_pair(8192, 8192));
}

// A tick while a poll, a dialog or a workflow is under way does nothing; a
// click during a poll waits for its end and runs only if the buttons are
// still enabled then; a click while a dialog is open is dropped.
TEST_F(WindowRulesTest, TicksAndClicksWhileBusy) {
    ASSERT_EQ(Controls.TimerHistory, std::vector<bool>{true});  // Start()
    ShowKind(ck89C51);
    Rules->Tick();
    EXPECT_TRUE(Rules->Busy());
    Rules->Tick();
    Rules->SendClicked();  // held until the poll has ended
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Polls(), 1);
    EXPECT_TRUE(Controls.Timer);
    // The poll found no chip: the held click has nothing to send to.
    EXPECT_FALSE(Controls.SendRead);
    EXPECT_TRUE(Controls.Asked.empty());

    ShowKind(ck89C51);
    Controls.Chooser = [this](TFileDialog) -> std::optional<std::string> {
        EXPECT_TRUE(Rules->Busy());
        Rules->Tick();
        Rules->ReadClicked();
        return std::nullopt;
    };
    Rules->SendClicked();
    EXPECT_EQ(Controls.Asked, std::vector<TFileDialog>{TFileDialog::Open});
    EXPECT_FALSE(Rules->Busy());
    EXPECT_EQ(Polls(), 1);
    EXPECT_EQ(Controls.Label, "89C51");  // no poll found the chip gone
    EXPECT_TRUE(Controls.Timer);

    Tick();
    EXPECT_EQ(Polls(), 2);
    EXPECT_EQ(Controls.Label, "");
    EXPECT_TRUE(Controls.Errors.empty());
}

// Both dialogs offer Intel HEX files first, with "hex" added to a typed name,
// then raw binary files and all files, and open in the folder of the file
// chosen last in either.
TEST_F(WindowRulesTest, DialogsOfferHexFilesInTheFolderLastUsed) {
    ShowKind(ck89C51);
    Rules->ReadClicked();  // cancelled: no folder yet
    Controls.Chooser = [](TFileDialog) { return std::optional<std::string>(kFolder + "a.hex"); };
    Rules->SendClicked();
    ASSERT_TRUE(WaitIdle());
    Controls.Chooser = nullptr;
    Rules->ReadClicked();
    ASSERT_EQ(Controls.Requests.size(), 3u);
    EXPECT_EQ(Controls.Requests[0].Kind, TFileDialog::Save);
    EXPECT_EQ(Controls.Requests[0].Folder, "");
    EXPECT_EQ(Controls.Requests[1].Kind, TFileDialog::Open);
    EXPECT_EQ(Controls.Requests[2].Folder, kFolder.substr(0, kFolder.size() - 1));
#ifdef _WIN32
    const std::string allFiles = "All Files (*.*)";
#else
    const std::string allFiles = "All Files (*)";
#endif
    for (const TFileRequest& request : Controls.Requests) {
        ASSERT_EQ(request.Filters.size(), 3u);
        EXPECT_EQ(request.Filters[0].Label(), "Intel Hex File (*.hex)");
        EXPECT_EQ(request.Filters[0].DefaultExtension, "hex");
        EXPECT_EQ(request.Filters[1].Label(), "Binary File (*.bin)");
        EXPECT_EQ(request.Filters[1].DefaultExtension, "bin");
        EXPECT_EQ(request.Filters[2].Label(), allFiles);
        EXPECT_EQ(request.Filters[2].DefaultExtension, "");
        EXPECT_EQ(request.FilterIndex, 0);
    }
    EXPECT_EQ(FolderOf("/a.hex"), "/");
    EXPECT_EQ(FolderOf("a.hex"), "");
}

// The type chosen says the format, but a name that ends in ".bin" or ".hex"
// keeps its own whatever the type; with all files the name alone decides.
TEST_F(WindowRulesTest, TheTypeChosenOrABinNameSaysTheFormat) {
    const struct Case {
        const char* name;
        int filter;
        TImageFormat format;
    } cases[] = {
        {"a.hex", 0, TImageFormat::Hex}, {"a.bin", 0, TImageFormat::Bin},
        {"a", 1, TImageFormat::Bin},     {"a.HEX", 1, TImageFormat::Hex},
        {"a.img", 1, TImageFormat::Bin}, {"a.img", 0, TImageFormat::Hex},
        {"A.BIN", 2, TImageFormat::Bin}, {"a.hex", 2, TImageFormat::Hex},
        {"a", 2, TImageFormat::Hex},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Rules->FileDialogs().FormatOf({c.name, c.filter}), c.format)
            << c.name << " " << c.filter;
    }
}

// A handler's exception goes to the error box; the window is idle, with the
// timer and the cursor as before the click.
TEST_F(WindowRulesTest, AnExceptionOfAClickGoesToTheErrorBox) {
    ShowKind(ck89C52);
    Controls.Chooser = [this](TFileDialog) -> std::optional<std::string> {
        Rules->ShowWaitCursor();
        Rules->SetPollTimerEnabled(false);
        throw std::runtime_error("No dialog");
    };
    Rules->ReadClicked();
    EXPECT_EQ(Controls.Errors, std::vector<std::string>{"No dialog"});
    EXPECT_FALSE(Rules->Busy());
    EXPECT_FALSE(Controls.WaitCursor);
    EXPECT_TRUE(Controls.Timer);
}

// An exception of a command on the worker goes to the error box; it goes on.
TEST_F(WindowRulesTest, AnExceptionOnTheWorkerGoesToTheErrorBox) {
    Rules->Runner().SetWatch({{}, {}, [](int) { throw std::runtime_error("Out of memory"); }});
    ShowKind(ck89C2051);
    Tick();
    EXPECT_EQ(Controls.Errors, std::vector<std::string>{"Out of memory"});
}

// Idle, the window closes at once, and no poll starts afterwards. A system's
// request closes it the same way, from any thread, and sets the exit status.
TEST_F(WindowRulesTest, ACloseWhileIdleClosesAtOnce) {
    Rules->EscapePressed();  // nothing to stop
    EXPECT_FALSE(Rules->Stopping());
    std::thread requests([this] { Rules->RequestCloseFromAnyThread(143); });
    requests.join();
    ASSERT_TRUE(ServeUntil([this] { return Controls.Closed; }));
    EXPECT_EQ(Rules->ExitStatus(), 143);
    EXPECT_FALSE(Rules->WorkAbandoned());
    EXPECT_FALSE(Controls.Timer);
    Rules->Tick();
    EXPECT_FALSE(Rules->Busy());
}

// The link's messages are bytes from the line: each one is a character.
TEST_F(WindowRulesTest, MessagesAreShownAsLatin1) {
    Rules->ShowMessage(std::string("\xE9") + "?");
    EXPECT_EQ(Controls.Messages, std::vector<std::string>{"\xC3\xA9?"});
}

}  // namespace
}  // namespace corvane::test
