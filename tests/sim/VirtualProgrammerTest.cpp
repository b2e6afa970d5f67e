#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <filesystem>

#include "HostLine.h"
#include "VirtualProgrammer.h"

namespace corvane::sim {
namespace {

// These tests read the usual dialect's bytes: every board here speaks it,
// also the corvane-sim programs they start.
[[maybe_unused]] const bool kUsualWords = (SetDefaultDialect(0), true);

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using namespace std::chrono_literals;

const std::string kXon(1, '\x11');
const std::string kXoff(1, '\x13');

BoardOptions Fast(Chip chip = ChipFromCode("51")) {
    BoardOptions o;
    o.chip = chip;
    o.eraseDelay = 0ms;
    o.writePause = 0ms;
    return o;
}

// A board started on its own thread with the host's end opened.
struct Bench {
    explicit Bench(BoardOptions options = Fast()) : board(std::move(options)) {
        board.Start();
        host = std::make_unique<HostLine>(board.PortPath());
    }
    // Sets the counter; true when the board said "ok".
    bool SetCounter(unsigned count) {
        if (host->Exchange('s', '\x11') != kXon) return false;
        for (char d : std::to_string(count)) {
            if (host->Exchange(d, '\x11') != kXon) return false;
        }
        return host->Exchange('\n').find("ok") != std::string::npos;
    }
    VirtualProgrammer board;
    std::unique_ptr<HostLine> host;
};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char buf[3];
    for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s;
}

TEST(VirtualProgrammer, GreetingNamesTheBoardAndEndsInThePrompt) {
    Bench b;
    ASSERT_TRUE(b.host->IsOpen());
    const std::string greeting = b.host->Exchange('\r');
    EXPECT_THAT(greeting, HasSubstr("Yarv"));
    EXPECT_THAT(greeting, Not(HasSubstr("2051")));
    EXPECT_EQ(greeting.back(), '>');

    b.board.InsertChip(Chip2051(4096));
    EXPECT_THAT(b.host->Exchange('\r'), HasSubstr("Yarv 2051"));
    EXPECT_THAT(b.board.CommandLog(), ElementsAre("\r", "\r"));
}

TEST(VirtualProgrammer, ChipQueryAndCounterLimitsForEveryKind) {
    struct Kind {
        std::string code;
        unsigned size;
    };
    for (const Kind& k : {Kind{"51", 4096}, Kind{"61", 4096}, Kind{"52", 8192}, Kind{"62", 8192},
                          Kind{"55", 20480}, Kind{"65", 20480}}) {
        SCOPED_TRACE(k.code);
        Bench b(Fast(ChipFromCode(k.code)));
        EXPECT_EQ(b.host->Exchange('p'), "p" + k.code + ",0 ok\r\n>");
        EXPECT_EQ(b.board.Flash().size(), k.size);
        EXPECT_TRUE(b.SetCounter(k.size));
        EXPECT_EQ(b.board.Counter(), k.size);
        EXPECT_TRUE(b.SetCounter(1));
        EXPECT_FALSE(b.SetCounter(k.size + 1));
        EXPECT_FALSE(b.SetCounter(0));
        EXPECT_EQ(b.board.Counter(), 1u) << "a refused count keeps the old one";
    }
}

TEST(VirtualProgrammer, EmptySocketReportsItsCodeAndTakesNoCount) {
    Bench b(Fast(ChipFromCode("00")));
    EXPECT_EQ(b.host->Exchange('p'), "p00,1 ok\r\n>");
    EXPECT_FALSE(b.SetCounter(1));
    EXPECT_THAT(b.host->Exchange('e'), Not(HasSubstr("ok")));
    b.board.InsertChip(ChipFromCode("52"));
    EXPECT_EQ(b.host->Exchange('p'), "p52,0 ok\r\n>");
}

TEST(VirtualProgrammer, ParsesChipTexts) {
    EXPECT_EQ(ParseChip("62"), ChipFromCode("62"));
    EXPECT_EQ(ParseChip("2051")->size, 2048);
    EXPECT_TRUE(ParseChip("4051")->family2051);
    EXPECT_EQ(ParseChip("4051")->size, 4096);
    EXPECT_EQ(ParseChip("00")->size, 0);
    EXPECT_FALSE(ParseChip("515"));
    EXPECT_FALSE(ParseChip(""));
}

TEST(VirtualProgrammer, StatusIsOneUntilErasedAndEraseClearsFlashAndLock) {
    BoardOptions o = Fast();
    o.flash = {0x00, 0x12};
    o.locked = true;
    Bench b(o);
    EXPECT_EQ(b.host->Exchange('p'), "p51,1 ok\r\n>");
    EXPECT_TRUE(b.board.Locked());
    EXPECT_THAT(b.host->Exchange('e'), HasSubstr("ok"));
    EXPECT_EQ(b.host->Exchange('p'), "p51,0 ok\r\n>");
    EXPECT_FALSE(b.board.Locked());
    EXPECT_EQ(b.board.Flash(), std::vector<std::uint8_t>(4096, 0xFF));
}

TEST(VirtualProgrammer, CounterAnswersEachDigitAndIsLoggedWhole) {
    Bench b;
    EXPECT_EQ(b.host->Exchange('s', '\x11'), kXon);
    for (char d : std::string("2048")) EXPECT_EQ(b.host->Exchange(d, '\x11'), kXon);
    const std::string reply = b.host->Exchange('\n');
    EXPECT_THAT(reply, HasSubstr("ok"));
    EXPECT_EQ(reply.back(), '>');
    EXPECT_EQ(b.board.Counter(), 2048u);

    // An entry cut short by another command keeps the old count; that command runs.
    EXPECT_EQ(b.host->Exchange('s', '\x11'), kXon);
    EXPECT_EQ(b.host->Exchange('9', '\x11'), kXon);
    EXPECT_EQ(b.host->Exchange('p'), "p51,0 ok\r\n>");
    EXPECT_EQ(b.board.Counter(), 2048u);
    // A count far beyond any flash is refused, not wrapped.
    EXPECT_FALSE(b.SetCounter(4294967295u));
    EXPECT_FALSE(b.SetCounter(69632)) << "4096 + 65536";
    EXPECT_THAT(b.board.CommandLog(),
                ElementsAre("s2048\n", "s9", "p", "s4294967295\n", "s69632\n"));
}

TEST(VirtualProgrammer, WriteHandshakeProgramsByAnd) {
    BoardOptions o = Fast();
    o.flash = {0xF0, 0xFF, 0x0F};
    o.writePause = 3ms;
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(3));
    EXPECT_EQ(b.host->Exchange('w', 'w'), "w");
    const std::string bytes = "\x3C\x5A\xFF";
    for (char c : bytes) {
        EXPECT_EQ(b.host->ReadCount(1), kXon);
        b.host->Send(c);
        EXPECT_EQ(b.host->ReadCount(1), kXoff);
    }
    EXPECT_EQ(b.host->ReadCount(1), ">");
    const auto flash = b.board.Flash();
    EXPECT_EQ(flash[0], 0x30);
    EXPECT_EQ(flash[1], 0x5A);
    EXPECT_EQ(flash[2], 0x0F);
    EXPECT_EQ(flash[3], 0xFF);
    EXPECT_EQ(b.host->Exchange('p'), "p51,1 ok\r\n>");
}

// Behind a USB adapter's latency every reply waits for its packet to leave,
// and nothing is lost or reordered, also in replies longer than a packet.
TEST(VirtualProgrammer, AdapterLatencyHoldsRepliesUntilThePacketLeaves) {
    BoardOptions o = Fast();
    o.latency = 40ms;
    o.flash = {0x12, 0x34, 0x56};
    Bench b(o);
    const auto t0 = std::chrono::steady_clock::now();
    const std::string greeting = b.host->Exchange('\r');
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 40ms);
    EXPECT_THAT(greeting, HasSubstr("Yarv"));
    EXPECT_EQ(greeting.back(), '>');

    ASSERT_TRUE(b.SetCounter(100));  // a dump of 100 bytes spans several packets
    const std::string dump = b.host->Exchange('r');
    EXPECT_EQ(dump, "r" + Hex({0x12, 0x34, 0x56}) + std::string(194, 'F') + ">");

    ASSERT_TRUE(b.SetCounter(2));
    EXPECT_EQ(b.host->Exchange('w', 'w'), "w");
    for (char c : std::string("\x01\x02")) {
        const auto sent = std::chrono::steady_clock::now();
        EXPECT_EQ(b.host->ReadCount(1), kXon);
        b.host->Send(c);
        EXPECT_EQ(b.host->ReadCount(1), kXoff);
        EXPECT_GE(std::chrono::steady_clock::now() - sent, 40ms);
    }
    EXPECT_EQ(b.host->ReadCount(1), ">");
    EXPECT_EQ(b.board.Flash()[1], 0x02 & 0x34);
}

// Every byte value crosses the line unchanged both ways, with the pty as the
// board left it (the host sets no termios of its own here).
TEST(VirtualProgrammer, EveryByteValueIsWrittenAndReadBack) {
    Bench b;
    ASSERT_TRUE(b.SetCounter(256));
    ASSERT_EQ(b.host->Exchange('w', 'w'), "w");
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(b.host->ReadCount(1), kXon) << i;
        b.host->Send(static_cast<char>(i));
        ASSERT_EQ(b.host->ReadCount(1), kXoff) << i;
    }
    EXPECT_EQ(b.host->ReadCount(1), ">");
    EXPECT_EQ(b.host->Exchange('r'), "r" + Hex(all) + ">");
}

TEST(VirtualProgrammer, HostWithItsOwnRawSettingsTalksToo) {
    VirtualProgrammer board(Fast());
    board.Start();
    HostLine host(board.PortPath(), /*setRaw=*/true);
    EXPECT_THAT(host.Exchange('\r'), HasSubstr("Yarv"));
}

TEST(VirtualProgrammer, ReadBackChecksumAndLock) {
    BoardOptions o = Fast();
    o.flash = {0x12, 0x34, 0x56, 0xA7};
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(3));
    EXPECT_EQ(b.host->Exchange('r'), "r123456>");
    EXPECT_EQ(b.host->Exchange('c'), "\r\nSum= FF64\r\n>");

    const std::string lock = b.host->Exchange('l');
    EXPECT_EQ(lock.back(), '>');
    EXPECT_TRUE(b.board.Locked());
    EXPECT_EQ(b.host->Exchange('r'), "rFFFFFF>");
    EXPECT_EQ(b.host->Exchange('c'), "\r\nSum= FD03\r\n>") << "three bytes of FF";
    EXPECT_EQ(b.board.Flash()[0], 0x12) << "the lock hides the flash, it does not change it";

    // A locked chip takes no programming.
    ASSERT_EQ(b.host->Exchange('w', 'w'), "w");
    for (int i = 0; i < 3; ++i) {
        b.host->ReadCount(1);
        b.host->Send('\0');
        b.host->ReadCount(1);
    }
    EXPECT_EQ(b.host->ReadCount(1), ">");
    EXPECT_EQ(b.board.Flash()[0], 0x12);
}

TEST(VirtualProgrammer, ChecksumOfZeroSumIsZero) {
    BoardOptions o = Fast();
    o.flash = {0x00, 0x00, 0x80, 0x80};
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(4));
    EXPECT_EQ(b.host->Exchange('c'), "\r\nSum= FF00\r\n>");
    ASSERT_TRUE(b.SetCounter(2));
    EXPECT_EQ(b.host->Exchange('c'), "\r\nSum= 0000\r\n>");
}

TEST(VirtualProgrammer, OtherCharactersAreIgnored) {
    Bench b;
    b.host->Send("xA\n\x11?>");
    const std::string reply = b.host->Exchange('\r');
    EXPECT_THAT(reply, StartsWith("\r\nYarv"));
    EXPECT_THAT(b.board.CommandLog(), ElementsAre("\r"));
}

// ---- faults --------------------------------------------------------------

TEST(VirtualProgrammerFaults, SilentBoardAnswersNothing) {
    BoardOptions o = Fast();
    o.faults.silent = true;
    Bench b(o);
    b.host->Send("\rps");
    ASSERT_TRUE(b.board.WaitForCommands(3, 5s));
    b.board.SetFaults({});
    // Nothing came before the answer to the first command after the silence.
    EXPECT_EQ(b.host->Exchange('p'), "p51,0 ok\r\n>");
}

TEST(VirtualProgrammerFaults, NoAnswerToChipQuery) {
    BoardOptions o = Fast();
    o.faults.noAnswerToP = true;
    Bench b(o);
    b.host->Send('p');
    EXPECT_THAT(b.host->Exchange('\r'), StartsWith("\r\nYarv"));
    EXPECT_THAT(b.board.CommandLog(), ElementsAre("p", "\r"));
}

TEST(VirtualProgrammerFaults, EraseFailsTheGivenNumberOfTimes) {
    BoardOptions o = Fast();
    o.flash = {0x00};
    o.faults.eraseFailures = 2;
    Bench b(o);
    for (int i = 0; i < 2; ++i) {
        const std::string reply = b.host->Exchange('e');
        EXPECT_THAT(reply, Not(HasSubstr("ok")));
        EXPECT_EQ(reply.back(), '>');
        EXPECT_EQ(b.host->Exchange('p'), "p51,1 ok\r\n>");
    }
    EXPECT_THAT(b.host->Exchange('e'), HasSubstr("ok"));
    EXPECT_EQ(b.host->Exchange('p'), "p51,0 ok\r\n>");
}

TEST(VirtualProgrammerFaults, FailedEraseThatSaysOkShowsInStatusAndReadBack) {
    BoardOptions o = Fast(Chip2051(2048));
    o.flash = {0xFF, 0x00};
    o.faults.eraseFailures = 1;
    o.faults.eraseFailureSaysOk = true;
    Bench b(o);
    EXPECT_THAT(b.host->Exchange('e'), HasSubstr("ok"));
    EXPECT_THAT(b.host->Exchange('p'), HasSubstr(",1 ok"));
    ASSERT_TRUE(b.SetCounter(2));
    EXPECT_EQ(b.host->Exchange('r'), "rFF00>");
    EXPECT_THAT(b.host->Exchange('e'), HasSubstr("ok"));
    EXPECT_EQ(b.host->Exchange('r'), "rFFFF>");
}

TEST(VirtualProgrammerFaults, WrongByteInsteadOfXoffDropsThePass) {
    BoardOptions o = Fast();
    o.faults.wrongHandshakeAt = 2;
    o.faults.wrongHandshakeByte = 'Z';
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(4));
    ASSERT_EQ(b.host->Exchange('w', 'w'), "w");
    EXPECT_EQ(b.host->ReadCount(1), kXon);
    b.host->Send('\x01');
    EXPECT_EQ(b.host->ReadCount(1), kXoff);
    EXPECT_EQ(b.host->ReadCount(1), kXon);
    b.host->Send('\x02');
    EXPECT_EQ(b.host->ReadCount(1), "Z");
    // No XON and no prompt follow: the next reply is the greeting's.
    EXPECT_THAT(b.host->Exchange('\r'), StartsWith("\r\nYarv"));
    const auto flash = b.board.Flash();
    EXPECT_EQ(flash[0], 0x01);
    EXPECT_EQ(flash[1], 0xFF);
}

TEST(VirtualProgrammerFaults, XonGlitchLeavesThePassWaitingAcrossAReopen) {
    BoardOptions o = Fast();
    o.faults.xonGlitchAt = 2;
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(3));
    ASSERT_EQ(b.host->Exchange('w', 'w'), "w");
    EXPECT_EQ(b.host->ReadCount(1), kXon);
    b.host->Send('\x01');
    EXPECT_EQ(b.host->ReadCount(1), kXoff);
    EXPECT_EQ(b.host->ReadCount(1), "?");  // in place of the XON before byte 2
    // The host goes and comes back; its greeting is byte 2 to the board.
    b.host = std::make_unique<HostLine>(b.board.PortPath());
    b.host->Send('\r');
    EXPECT_EQ(b.host->ReadCount(2), kXoff + kXon);
    b.host->Send('\x03');
    EXPECT_EQ(b.host->ReadCount(2), kXoff + ">");
    EXPECT_EQ(b.board.Flash()[1], 0x0D);
    EXPECT_EQ(b.board.CurrentFaults().xonGlitchAt, 0u);
    EXPECT_THAT(b.board.CommandLog(), ElementsAre("s3\n", "w"));

    // Once only: the next pass has its XONs.
    ASSERT_EQ(b.host->Exchange('w', 'w'), "w");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b.host->ReadCount(1), kXon);
        b.host->Send('\x00');
        EXPECT_EQ(b.host->ReadCount(1), kXoff);
    }
    EXPECT_EQ(b.host->ReadCount(1), ">");
}

TEST(VirtualProgrammerFaults, PassTimeoutGivesUpAWritePass) {
    BoardOptions o = Fast();
    o.passTimeout = 50ms;
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(2));
    ASSERT_EQ(b.host->Exchange('w', 'w'), "w");
    EXPECT_EQ(b.host->ReadCount(1), kXon);
    // Until the board has given up, a CR is a data byte (answered by XOFF and
    // XON); after that it is a greeting. One of the first two CRs is late enough.
    std::string reply;
    for (int attempt = 0; attempt < 2 && reply.find("Yarv") == std::string::npos; ++attempt) {
        b.host->Send('\r');
        reply = b.host->ReadUntil('>', 500ms);
    }
    EXPECT_THAT(reply, HasSubstr("Yarv"));
}

TEST(VirtualProgrammerFaults, WrongEchoForRead) {
    BoardOptions o = Fast();
    o.flash = {0xAB};
    o.faults.wrongReadEcho = 'x';
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(1));
    EXPECT_EQ(b.host->Exchange('r'), "xAB>");
}

TEST(VirtualProgrammerFaults, NoiseBeforeGreeting) {
    BoardOptions o = Fast();
    o.faults.noiseBeforeGreeting = std::string("\0\xFE#~", 4);
    Bench b(o);
    const std::string reply = b.host->Exchange('\r');
    EXPECT_THAT(reply, StartsWith(std::string("\0\xFE#~\r\nYarv", 10)));
    EXPECT_EQ(reply.back(), '>');
}

TEST(VirtualProgrammerFaults, LineGoesAwayAfterWrittenBytesAndComesBack) {
    TempDir map;
    BoardOptions o = Fast();
    o.faults.lineGoneAfter = 5;  // 's', '3', LF, 'w', then the first data byte
    Bench b(o);
    b.board.Announce(map.Path(), "board");
    const std::string firstPath = b.board.PortPath();
    ASSERT_TRUE(b.SetCounter(3));
    ASSERT_EQ(b.host->Exchange('w', 'w'), "w");
    EXPECT_EQ(b.host->ReadCount(1), kXon);
    b.host->Send('\x00');
    EXPECT_TRUE(b.board.WaitUnplugged(5s));
    EXPECT_TRUE(b.host->WaitHangUp());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(map.Path() + "/board")));
    EXPECT_EQ(b.board.Flash()[0], 0xFF) << "the fifth byte never arrived";
    EXPECT_EQ(b.board.PortPath(), "");

    b.board.SetFaults({});
    b.board.Plug();
    ASSERT_TRUE(b.board.Plugged());
    EXPECT_EQ(std::filesystem::read_symlink(map.Path() + "/board"), b.board.PortPath());
    HostLine again(b.board.PortPath());
    EXPECT_THAT(again.Exchange('\r'), HasSubstr("Yarv"));
    EXPECT_EQ(b.board.BytesReceived(), 1u);
}

// Each prompt form, on a text reply and at the end of a write pass.
TEST(VirtualProgrammerFaults, RepliesEndInThePromptInEveryForm) {
    struct Form {
        PromptForm form;
        std::string text, pass;
    };
    for (const Form& f :
         {Form{PromptForm::Usual, "v1.3\r\n>", ">"}, Form{PromptForm::Bare, "v1.3>", ">"},
          Form{PromptForm::LineEnd, "v1.3\r\n>", "\r\n>"},
          Form{PromptForm::Text, "v1.3\r\nready >", "\r\nready >"}}) {
        SCOPED_TRACE(static_cast<int>(f.form));
        BoardOptions o = Fast();
        o.faults.promptForm = f.form;
        Bench b(o);
        EXPECT_THAT(b.host->Exchange('\r'), testing::EndsWith(f.text));
        ASSERT_TRUE(b.SetCounter(1));
        EXPECT_EQ(b.host->Exchange('w', '\x11'), "w" + kXon);
        b.host->Send('\x00');
        EXPECT_EQ(b.host->ReadUntil('>'), kXoff + f.pass);
    }
}

// Lost and late replies: the board does what it was told all the same.
TEST(VirtualProgrammerFaults, RepliesLostOrLate) {
    BoardOptions o = Fast();
    o.faults.lostReplies = 1;
    o.faults.lateReplies = 1;
    o.faults.lateBy = 300ms;
    Bench b(o);
    b.host->Send('e');
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(b.host->Exchange('p'), "p51,0 ok\r\n>") << "the erase's reply was lost";
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 300ms);
    EXPECT_EQ(b.host->Exchange('p'), "p51,0 ok\r\n>");
    EXPECT_THAT(b.board.CommandLog(), ElementsAre("e", "p", "p"));
}

// A cell that never programs; the line gone after a byte of the pass; the
// socket counts its chips and the write passes each had.
TEST(VirtualProgrammerFaults, StuckCellAndTheLineGoneInAPass) {
    Bench b;
    b.board.SeatChip(1);
    b.board.ChangeFaults([](Faults& f) { f.goneInPassAt = kLastByte; });
    ASSERT_TRUE(b.SetCounter(3));
    EXPECT_EQ(b.host->Exchange('w', 'w'), "w");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b.host->ReadCount(1), kXon);
        b.host->Send('\x00');
        if (i < 2) {
            EXPECT_EQ(b.host->ReadCount(1), kXoff);
        }
    }
    EXPECT_TRUE(b.host->WaitHangUp());
    const SocketView out = b.board.RemoveChip();
    EXPECT_EQ(out.seating, 2u) << "the chip seated after the first";
    EXPECT_TRUE(out.seated);
    EXPECT_EQ(out.writePasses, 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.flash.begin(), out.flash.begin() + 4),
              (std::vector<std::uint8_t>{0x00, 0xFF, 0x00, 0xFF}));
    EXPECT_FALSE(b.board.Socket().seated);
    EXPECT_FALSE(b.board.InWritePass());
}

// ---- the line and the device map ------------------------------------------

TEST(VirtualProgrammerLine, MapEntryFollowsTheLine) {
    TempDir map;
    const std::string entry = map.Path() + "/sub/board";
    VirtualProgrammer board(Fast());
    board.Announce(map.Path() + "/sub", "board");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(entry)))
        << "nothing to announce before the line is there";
    board.Start();
    EXPECT_EQ(board.MapEntry(), entry);
    EXPECT_EQ(std::filesystem::read_symlink(entry), board.PortPath());

    board.Unplug();
    EXPECT_FALSE(board.Plugged());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(entry)));
    board.Plug();
    EXPECT_EQ(std::filesystem::read_symlink(entry), board.PortPath());
    const std::string name = board.PortPath();
    board.Unplug();
    board.Plug(true);  // another socket of the hub
    EXPECT_NE(board.PortPath(), name);
    EXPECT_EQ(std::filesystem::read_symlink(entry), board.PortPath());

    board.Withdraw();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(entry)));
    EXPECT_EQ(board.MapEntry(), "");
    board.Announce(map.Path(), "again");
    EXPECT_EQ(std::filesystem::read_symlink(map.Path() + "/again"), board.PortPath());
    board.Stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(map.Path() + "/again")));
    EXPECT_FALSE(board.Running());
}

TEST(VirtualProgrammerLine, UnplugHangsUpTheHostAndPlugGivesANewWorkingLine) {
    Bench b;
    EXPECT_THAT(b.host->Exchange('\r'), HasSubstr("Yarv"));
    b.board.Unplug();
    EXPECT_TRUE(b.host->WaitHangUp());
    EXPECT_EQ(b.board.PortPath(), "");
    b.board.Plug();
    HostLine again(b.board.PortPath());
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(again.Exchange('p'), "p51,0 ok\r\n>");
}

TEST(VirtualProgrammerLine, HostCanOpenTheSlaveExclusivelyAndReopenIt) {
    VirtualProgrammer board(Fast());
    board.Start();
    for (int round = 0; round < 2; ++round) {
        const int fd = ::open(board.PortPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << round;
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(::ioctl(fd, TIOCEXCL), 0);
        EXPECT_EQ(::ioctl(fd, TIOCNXCL), 0);
        ::close(fd);
    }
}

TEST(VirtualProgrammerLine, StopReturnsWhileTheHostDoesNotRead) {
    Bench b(Fast(ChipFromCode("55")));
    ASSERT_TRUE(b.SetCounter(20480));
    b.host->Send('r');  // 40 KB of dump, more than the pty holds
    ASSERT_TRUE(b.board.WaitForCommands(2, 5s));
    b.board.Stop();
    EXPECT_FALSE(b.board.Running());
    EXPECT_FALSE(b.board.Plugged());
}

TEST(VirtualProgrammerLine, ChipChangesWhileRunning) {
    BoardOptions o = Fast();
    o.flash = {0x00};
    Bench b(o);
    ASSERT_TRUE(b.SetCounter(4096));
    b.board.InsertChip(ChipFromCode("62"), {0x11, 0x22});
    EXPECT_EQ(b.board.CurrentChip(), ChipFromCode("62"));
    EXPECT_EQ(b.host->Exchange('p'), "p62,1 ok\r\n>");
    EXPECT_EQ(b.board.Flash().size(), 8192u);
    EXPECT_EQ(b.board.Counter(), 4096u);
    b.board.InsertChip(Chip2051(2048));
    // The count now runs past the chip: the rest reads as blank.
    EXPECT_EQ(b.host->Exchange('r').size(), 1u + 2 * 4096 + 1);
}

TEST(VirtualProgrammer, CharacterTimeAt9600) {
    EXPECT_EQ(CharacterTime(9600).count(), 1041666);
    EXPECT_EQ(CharacterTime(0).count(), 0);
}

}  // namespace
}  // namespace corvane::sim
