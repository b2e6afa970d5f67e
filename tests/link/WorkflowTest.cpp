#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace corvane {
namespace {

using test::DeviceMap;
using test::Prefix;
using test::RecordingView;
using test::TempDir;
namespace sim = corvane::sim;
using Statuses = std::vector<std::string>;

std::string Writing(unsigned count) {
    return "Writing... [" + std::to_string(count) + " Bytes]";
}

bool BlankFrom(const std::vector<std::uint8_t>& flash, std::size_t from) {
    for (std::size_t i = from; i < flash.size(); ++i) {
        if (flash[i] != 0xFF) return false;
    }
    return true;
}

std::vector<std::uint8_t> Garbage(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

class WorkflowTest : public ::testing::Test {
protected:
    // Starts a board, lets one poll find it and sizes the images as the
    // window does when it shows the chip.
    void Connect(sim::BoardOptions options, TChipKind expected) {
        board = test::StartBoard(map, "prog", std::move(options));
        link.PollProgrammer();
        ASSERT_EQ(link.ChipKind(), expected);
        if (expected == ck89C2051) {
            view.fastVerifyEnabled = false;
            link.ApplyMemSizeChoice();
        }
        board->ClearCommandLog();
        view.Reset();
    }
    bool BoardSaw(const std::string& command) {
        auto log = board->CommandLog();
        return std::find(log.begin(), log.end(), command) != log.end();
    }
    void ExpectCursorBack(int shown = 1) {
        EXPECT_EQ(view.waitCursors, shown);
        EXPECT_EQ(view.cursorDepth, 0);
    }

    DeviceMap map;
    TempDir files;
    std::unique_ptr<sim::VirtualProgrammer> board;
    RecordingView view;
    TProgrammerLink link{view};
};

// ---------------------------------------------------------------------------
// Every chip kind, end to end.

struct KindCase {
    const char* name;
    const char* chip;  // as the board's --chip option takes it
    TChipKind kind;
    std::uint16_t size;
    int memSizeIndex;
};

const KindCase kKinds[] = {
    {"C51", "51", ck89C51, 4096, 0},       {"LV51", "61", ck89LV51, 4096, 0},
    {"C52", "52", ck89C52, 8192, 0},       {"LV52", "62", ck89LV52, 8192, 0},
    {"C55", "55", ck89C55, 20480, 0},      {"LV55", "65", ck89LV55, 20480, 0},
    {"C2051", "2051", ck89C2051, 2048, 0}, {"C4051", "4051", ck89C2051, 4096, 1},
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

class EveryChip : public WorkflowTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(EveryChip, SendVerifyReadBackThenFastVerifyAndLock) {
    const KindCase& c = GetParam();
    view.memSizeIndex = c.memSizeIndex;
    sim::BoardOptions options;
    options.chip = *sim::ParseChip(c.chip);
    options.flash = Garbage(c.size);  // the erase has something to do
    Connect(std::move(options), c.kind);
    ASSERT_EQ(link.SourceImage().MemSize(), c.size);
    ASSERT_EQ(link.ReadImage().MemSize(), c.size);

    // Nearly the whole chip, verified by reading back.
    const std::uint16_t count = static_cast<std::uint16_t>(c.size - 37);
    const THexFile image = test::PatternImage(c.size, count, 1);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", image));
    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Erasing...[1/10]", "Initial for Writing",
                                       Writing(count), "Verify...", "Complete!"}));
    auto flash = board->Flash();
    EXPECT_EQ(Prefix(flash, count), Prefix(image.Data(), count));
    EXPECT_TRUE(BlankFrom(flash, count));
    EXPECT_EQ(board->Counter(), count);
    EXPECT_EQ(view.progressPosition, 0);
    // The 2051/4051 erase check reads the whole chip back.
    EXPECT_EQ(view.highestPosition, c.kind == ck89C2051 ? c.size - 1 : count - 1);
    EXPECT_EQ(view.progressMax, count - 1);
    EXPECT_TRUE(view.messages.empty());
    ExpectCursorBack();

    // The whole chip read into a file that loads back as the board's flash.
    view.Reset();
    const std::string out = files.File("out.hex");
    link.ReadToFile(out);
    EXPECT_EQ(view.statuses, (Statuses{"Reading...", "Complete!"}));
    EXPECT_EQ(board->Counter(), c.size);
    THexFile back;
    back.SetMemSize(c.size);
    back.LoadHex(out);
    EXPECT_EQ(back.Data(), flash);
    ExpectCursorBack();

    // A short file, checked by the programmer's checksum where the chip has
    // one, then locked.
    view.Reset();
    view.fastVerifyChecked = true;
    view.lockChecked = true;
    const THexFile small = test::PatternImage(c.size, 300, 2);
    link.ProgramFromFile(test::WriteHex(files, "b.hex", small));
    const char* verify = c.kind == ck89C2051 ? "Verify..." : "Fast Verify...";
    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Erasing...[1/10]", "Initial for Writing",
                                       Writing(300), verify, "Verify Locked code", "Complete!"}));
    EXPECT_TRUE(board->Locked());
    flash = board->Flash();
    EXPECT_EQ(Prefix(flash, 300), Prefix(small.Data(), 300));
    EXPECT_TRUE(BlankFrom(flash, 300));
    ExpectCursorBack();
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryChip, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Each outcome of the workflows.

TEST_F(WorkflowTest, EraseThatNeverSucceedsGivesUpAfterTenAttempts) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.flash = Garbage(4096);
    options.faults.eraseFailures = 10;
    Connect(options, ck89C51);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 64)));
    Statuses expected{"Erasing..."};
    for (int k = 1; k <= 10; ++k) expected.push_back("Erasing...[" + std::to_string(k) + "/10]");
    expected.push_back("Erase Failed!");
    EXPECT_EQ(view.statuses, expected);
    EXPECT_EQ(board->Flash(), Garbage(4096));
    EXPECT_FALSE(BoardSaw("w"));
    ExpectCursorBack();
}

TEST_F(WorkflowTest, EraseIsRetriedWhileTheChipIsNotBlank) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("52"));
    options.flash = Garbage(8192);
    options.faults.eraseFailures = 2;
    options.faults.eraseFailureSaysOk = true;
    Connect(options, ck89C52);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(8192, 100)));
    EXPECT_EQ(view.statuses,
              (Statuses{"Erasing...", "Erasing...[1/10]", "Erasing...[2/10]", "Erasing...[3/10]",
                        "Initial for Writing", Writing(100), "Verify...", "Complete!"}));
    EXPECT_TRUE(BlankFrom(board->Flash(), 100));
}

TEST_F(WorkflowTest, A2051WhoseCounterIsRefusedIsNotErased) {
    // 4 KB chosen for a 2 KB chip: the board refuses the count.
    view.memSizeIndex = 1;
    sim::BoardOptions options = test::BoardWith(sim::Chip2051(2048));
    options.flash = Garbage(2048);
    Connect(options, ck89C2051);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 64)));
    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Send Counter Failed!", "Erase Failed!"}));
    EXPECT_FALSE(BoardSaw("e"));
    EXPECT_EQ(board->Flash(), Garbage(2048));
    ExpectCursorBack();
}

TEST_F(WorkflowTest, A2051EraseRetriesUntilItReadsBackBlank) {
    sim::BoardOptions options = test::BoardWith(sim::Chip2051(2048));
    options.flash = Garbage(2048);
    options.faults.eraseFailures = 1;
    Connect(options, ck89C2051);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(2048, 10)));
    EXPECT_EQ(view.statuses,
              (Statuses{"Erasing...", "Erasing...[1/10]", "Erasing...[2/10]", "Initial for Writing",
                        Writing(10), "Verify...", "Complete!"}));
}

TEST_F(WorkflowTest, CounterRefusedBeforeWriting) {
    Connect(test::BoardWith(sim::ChipFromCode("52")), ck89C52);
    // A smaller chip now sits in the socket: it refuses a count beyond its size.
    board->InsertChip(sim::ChipFromCode("51"));
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(8192, 5000)));
    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Erasing...[1/10]", "Initial for Writing",
                                       "Set Counter Failed!"}));
    EXPECT_FALSE(BoardSaw("w"));
    ExpectCursorBack();
}

TEST_F(WorkflowTest, WrongHandshakeEndsTheWrite) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.faults.wrongHandshakeAt = 5;
    Connect(options, ck89C51);
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 64)));
    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Erasing...[1/10]", "Initial for Writing",
                                       Writing(64), "Write Failed!"}));
    EXPECT_EQ(view.highestPosition, 3);  // four bytes went through
    EXPECT_EQ(view.progressPosition, 0);
    ExpectCursorBack();
}

TEST_F(WorkflowTest, ReadBackThatDiffersFailsTheVerify) {
    Connect(test::BoardWith(sim::ChipFromCode("51")), ck89C51);
    view.onStatus = [this](const std::string& text) {
        if (text == "Verify...") board->InsertChip(sim::ChipFromCode("51"), Garbage(10));
    };
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 64)));
    EXPECT_EQ(view.LastStatus(), "Verify Failed!");
    ExpectCursorBack();
}

TEST_F(WorkflowTest, ChecksumThatDiffersFailsTheFastVerify) {
    Connect(test::BoardWith(sim::ChipFromCode("55")), ck89C55);
    view.fastVerifyChecked = true;
    view.lockChecked = true;
    view.onStatus = [this](const std::string& text) {
        if (text == "Fast Verify...") board->InsertChip(sim::ChipFromCode("55"), Garbage(10));
    };
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(20480, 64)));
    EXPECT_EQ(view.statuses, (Statuses{"Erasing...", "Erasing...[1/10]", "Initial for Writing",
                                       Writing(64), "Fast Verify...", "Fast Verify Failed!"}));
    EXPECT_FALSE(board->Locked());
    ExpectCursorBack();
}

TEST_F(WorkflowTest, UnansweredLockFails) {
    Connect(test::BoardWith(sim::ChipFromCode("62")), ck89LV52);
    view.lockChecked = true;
    view.onStatus = [this](const std::string& text) {
        if (text == "Verify Locked code") {
            sim::Faults silent;
            silent.silent = true;
            board->SetFaults(silent);
        }
    };
    link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(8192, 64)));
    EXPECT_EQ(view.statuses,
              (Statuses{"Erasing...", "Erasing...[1/10]", "Initial for Writing", Writing(64),
                        "Verify...", "Verify Locked code", "Lock Failed!", "Lock Failed!"}));
    ExpectCursorBack();
}

TEST_F(WorkflowTest, ReadWithACounterRefused) {
    Connect(test::BoardWith(sim::ChipFromCode("52")), ck89C52);
    board->InsertChip(sim::ChipFromCode("51"));
    const std::string out = files.File("out.hex");
    link.ReadToFile(out);
    EXPECT_EQ(view.statuses, Statuses{"Set Counter Failed"});
    EXPECT_FALSE(std::filesystem::exists(out));
    ExpectCursorBack();
}

TEST_F(WorkflowTest, ReadWithAWrongEchoShowsItAndFails) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.faults.wrongReadEcho = 'x';
    Connect(options, ck89C51);
    const std::string out = files.File("out.hex");
    link.ReadToFile(out);
    EXPECT_EQ(view.statuses, (Statuses{"Reading...", "Read Failed!"}));
    EXPECT_EQ(view.messages, Statuses{"x"});
    EXPECT_FALSE(std::filesystem::exists(out));
    ExpectCursorBack();
}

TEST_F(WorkflowTest, FileThatDoesNotFitIsRefusedBeforeTheChipIsTouched) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.flash = Garbage(4096);
    Connect(options, ck89C51);
    // Data at 0x1000 is one byte beyond an 89C51.
    const THexFile big = test::PatternImage(8192, 4097);
    EXPECT_THROW(link.ProgramFromFile(test::WriteHex(files, "big.hex", big)), EHexFile);
    EXPECT_TRUE(board->CommandLog().empty());
    EXPECT_EQ(board->Flash(), Garbage(4096));
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_EQ(view.waitCursors, 0);
}

TEST_F(WorkflowTest, FileWithoutDataIsNotProgrammed) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("51"));
    options.flash = Garbage(4096);
    Connect(options, ck89C51);

    link.ProgramFromFile(test::WriteText(files, "empty.hex", ":00000001FF\n"));
    EXPECT_EQ(view.statuses, Statuses{"No data to program!"});

    view.Reset();
    THexFile blank;
    blank.SetMemSize(4096);
    blank.Clear();
    link.ProgramFromFile(test::WriteHex(files, "blank.hex", blank));
    EXPECT_EQ(view.statuses, Statuses{"No data to program!"});

    EXPECT_TRUE(board->CommandLog().empty());
    EXPECT_EQ(board->Flash(), Garbage(4096));
    EXPECT_EQ(view.waitCursors, 0);
}

TEST_F(WorkflowTest, FirstXonThatComesWithTheEchoCounts) {
    sim::BoardOptions options = test::BoardWith(sim::ChipFromCode("52"));
    options.writePause = std::chrono::milliseconds(0);
    Connect(options, ck89C52);
    const THexFile image = test::PatternImage(8192, 2000);
    for (int run = 0; run < 3; ++run) {
        view.Reset();
        link.ProgramFromFile(test::WriteHex(files, "a.hex", image));
        EXPECT_EQ(view.LastStatus(), "Complete!");
        EXPECT_EQ(Prefix(board->Flash(), 2000), Prefix(image.Data(), 2000));
    }
}

TEST_F(WorkflowTest, CursorComesBackWhenThePortFails) {
    Connect(test::BoardWith(sim::ChipFromCode("51")), ck89C51);
    board->Unplug();
    EXPECT_THROW(link.ProgramFromFile(test::WriteHex(files, "a.hex", test::PatternImage(4096, 8))),
                 EComPort);
    ExpectCursorBack();
    EXPECT_EQ(view.statuses, Statuses{"Erasing..."});
}

TEST_F(WorkflowTest, CursorComesBackWhenTheFileCannotBeSaved) {
    Connect(test::BoardWith(sim::Chip2051(2048)), ck89C2051);
    EXPECT_THROW(link.ReadToFile(files.File("missing/out.hex")), Exception);
    EXPECT_EQ(view.statuses, Statuses{"Reading..."});
    ExpectCursorBack();
}

}  // namespace
}  // namespace corvane
