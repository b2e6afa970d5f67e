// corvane-cli as a user or a script runs it: the real program against a
// virtual programmer announced in a device map of the test's own.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <numeric>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "CliFixture.h"
#include "CliOptions.h"
#include "PortUsers.h"
#include "ProbeBoard.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

namespace corvane::test {
namespace {

using cli::esBadFile;
using cli::esComplete;
using cli::esFailedStep;
using cli::esNoProgrammer;
using cli::esUsage;
using testing::Contains;
using testing::HasSubstr;
using testing::Not;

TEST_F(CliTest, DetectPrintsChipAndPort) {
    auto board = Board();
    CliResult r = Cli({"detect"});
    EXPECT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Try to connect by : " + board->PortPath() + "\n"));
    EXPECT_THAT(r.out, HasSubstr("89C51 on " + board->PortPath() + "\n"));
    EXPECT_EQ(r.err, "");

    // Quiet leaves the result alone; a 2051-family board needs no 'p'.
    board->Stop();
    auto board2051 = Board(WithChip(sim::Chip2051(2048)));
    r = Cli({"detect", "--quiet"});
    EXPECT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(r.out, "89C2051/4051 on " + board2051->PortPath() + "\n");
}

TEST_F(CliTest, DetectWithoutPortsSaysSo) {
    CliResult r = Cli({"detect"});
    EXPECT_EQ(r.status, esNoProgrammer);
    EXPECT_EQ(r.err, "corvane-cli: Available port not found!\n");
}

TEST_F(CliTest, DetectNamesThePortsThatStayedSilent) {
    sim::BoardOptions options;
    options.faults.silent = true;
    auto board = Board(options);
    CliResult r = Cli({"detect"});
    EXPECT_EQ(r.status, esNoProgrammer);
    EXPECT_EQ(r.err, "corvane-cli: no programmer answered on " + board->PortPath() + "\n");
}

TEST_F(CliTest, DetectReportsAnEmptySocket) {
    auto board = Board(WithChip(sim::ChipFromCode("00")));
    CliResult r = Cli({"detect"});
    EXPECT_EQ(r.status, esNoProgrammer);
    EXPECT_THAT(r.err, HasSubstr("the programmer on " + board->PortPath() +
                                 " holds no chip that is known"));
}

TEST_F(CliTest, ProgramVerifiesByReadBack) {
    auto board = Board();
    const auto data = Pattern(300);
    CliResult r = Cli({"program", HexFile("a.hex", data)});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(r.err, "");
    const auto flash = board->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 300, flash.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_FALSE(board->Locked());
    EXPECT_TRUE(Logged(*board, "r"));
    EXPECT_FALSE(Logged(*board, "c"));
    EXPECT_THAT(r.out, HasSubstr("Erasing...\nErasing...[1/10]\nInitial for Writing\n"
                                 "Writing... [300 Bytes]\n300 of 300 bytes in "));
    EXPECT_THAT(r.out, HasSubstr("Verify...\n300 of 300 bytes in "));
    EXPECT_TRUE(r.out.ends_with("Complete!\n")) << r.out;
}

TEST_F(CliTest, ProgramWithFastVerify) {
    auto board = Board(WithChip(sim::ChipFromCode("52")));
    const auto data = Pattern(5000);
    CliResult r = Cli({"program", "--fast-verify", HexFile("a.hex", data, 0, 8192)});
    ASSERT_EQ(r.status, esComplete) << r.err;
    const auto flash = board->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_TRUE(Logged(*board, "c"));
    EXPECT_FALSE(Logged(*board, "r"));
    EXPECT_THAT(r.out, HasSubstr("Fast Verify...\nComplete!\n"));
}

TEST_F(CliTest, ProgramAndLockQuietly) {
    auto board = Board();
    CliResult r = Cli({"program", HexFile("a.hex", Pattern(64)), "--lock", "--fast-verify", "-q"});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(board->Locked());
    EXPECT_TRUE(Logged(*board, "l"));
}

TEST_F(CliTest, Program2051UsesTheSizeChoiceAndReadBack) {
    auto board = Board(WithChip(sim::Chip2051(4096)));
    const auto data = Pattern(256);
    const std::string file = HexFile("a.hex", data, 0x0E00);

    // Data at 0x0E00 does not fit the default 2 KB: nothing is erased.
    CliResult r = Cli({"program", file});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_THAT(r.err, HasSubstr(": Exceed Memory Size[Target:E00 Size:800]: the file's data reach "
                                 "3840 bytes (to 0x0EFF), the chip 2048; a 4051 holds 4096"));
    EXPECT_FALSE(Logged(*board, "e"));

    r = Cli({"program", "--size", "4K", "--fast-verify", file});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.err, HasSubstr("no checksum"));
    EXPECT_THAT(r.out, HasSubstr("Verify...\n"));
    EXPECT_FALSE(Logged(*board, "c"));
    const auto flash = board->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x0E00));
}

TEST_F(CliTest, ReadSavesTheWholeChip) {
    sim::BoardOptions options = WithChip(sim::ChipFromCode("52"));
    options.flash = Pattern(8000, 11);
    auto board = Board(options);
    const std::string file = FDir.File("out.hex");
    CliResult r = Cli({"read", file});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_TRUE(Logged(*board, "s8192\n"));
    EXPECT_EQ(LoadFile(file, 8192), board->Flash());
    EXPECT_THAT(r.out, HasSubstr("Reading...\n8192 of 8192 bytes in "));
    EXPECT_TRUE(r.out.ends_with("Complete!\n")) << r.out;
}

TEST_F(CliTest, ReadOf2051FollowsTheSizeChoice) {
    sim::BoardOptions options = WithChip(sim::Chip2051(4096));
    options.flash = Pattern(4096, 5);
    auto board = Board(options);
    const std::string file = FDir.File("out.hex");
    CliResult r = Cli({"read", file, "--size=4K"});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_TRUE(Logged(*board, "s4096\n"));
    EXPECT_EQ(LoadFile(file, 4096), board->Flash());
}

TEST_F(CliTest, ReadToAnUnwritablePlaceFailsBeforeReading) {
    auto board = Board();
    const std::string file = FDir.File("no-such-dir/out.hex");
    CliResult r = Cli({"read", file});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err, "corvane-cli: " + file + ": No such file or directory\n");
    EXPECT_TRUE(board->CommandLog().empty());
}

// As cp and a shell's redirection refuse it, a Read does not replace a file
// that was made read-only, even for its owner.
TEST_F(CliTest, ReadKeepsAReadOnlyFile) {
    auto board = Board();
    const std::string golden = HexFile("golden.hex", Pattern(100));
    const std::string before = ReadFile(golden);
    ASSERT_EQ(chmod(golden.c_str(), 0444), 0);
    CliResult r = Cli({"read", golden});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_THAT(r.err, HasSubstr(golden + ": Permission denied\n"));
    EXPECT_TRUE(ReadFile(golden) == before);
    // Refused before the chip is read.
    EXPECT_THAT(board->CommandLog(), Not(Contains("r")));
}

// Each failed step: exit status 1 and the step's failure text on stderr.
struct FailureCase {
    const char* name;
    std::vector<std::string> args;  // FILE stands for the file
    sim::BoardOptions board;
    const char* failure;
    const char* alsoOnStderr = "";
};

// Test names and failure reports show the case's name.
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

template <typename TSetFaults>
sim::BoardOptions WithFaults(TSetFaults set) {
    sim::BoardOptions options;
    set(options.faults);
    return options;
}

// A programmer that takes fewer bytes than the 89C51 it names.
sim::Chip SmallChip() {
    sim::Chip chip;
    chip.size = 100;
    return chip;
}

class CliFailureTest : public CliTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(CliFailureTest, EndsWithTheFailureText) {
    const FailureCase& c = GetParam();
    auto board = Board(c.board);
    std::vector<std::string> args = c.args;
    for (auto& arg : args) {
        if (arg == "FILE")
            arg = c.args[0] == "read" ? FDir.File("out.hex") : HexFile("a.hex", Pattern(200));
    }
    CliResult r = Cli(args);
    EXPECT_EQ(r.status, esFailedStep) << r.err;
    EXPECT_THAT(r.err, HasSubstr("corvane-cli: " + std::string(c.failure) + "\n"));
    EXPECT_THAT(r.err, HasSubstr(c.alsoOnStderr));
    EXPECT_THAT(r.out, Not(HasSubstr("Complete!")));
    if (args[0] == "read" && args[1] == "-") {
        EXPECT_EQ(r.out, "");
    }
    if (args[0] == "verify" || args[0] == "blank-check") {
        EXPECT_FALSE(Logged(*board, "e"));
        EXPECT_FALSE(Logged(*board, "w"));
    }
    ExpectBoardAtItsPrompt();
    EXPECT_FALSE(PrivateMapsLeft());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CliFailureTest,
    testing::Values(
        FailureCase{"Erase",
                    {"program", "FILE"},
                    WithFaults([](sim::Faults& f) { f.eraseFailures = 10; }),
                    "Erase Failed!"},
        FailureCase{"Counter", {"program", "FILE"}, WithChip(SmallChip()), "Set Counter Failed!"},
        FailureCase{"Write",
                    {"program", "FILE"},
                    WithFaults([](sim::Faults& f) { f.wrongHandshakeAt = 50; }),
                    "Write Failed!"},
        FailureCase{"Verify",
                    {"program", "FILE"},
                    WithFaults([](sim::Faults& f) { f.wrongReadEcho = '?'; }),
                    "Verify Failed!",
                    "corvane-cli: unexpected answer from the programmer: \"?\"\n"},
        FailureCase{"Lock",
                    {"program", "FILE", "--fast-verify", "--lock"},
                    WithFaults([](sim::Faults& f) { f.wrongReadEcho = 'x'; }),
                    "Lock Failed!"},
        FailureCase{"ReadCounter", {"read", "FILE"}, WithChip(SmallChip()), "Set Counter Failed"},
        FailureCase{"Read",
                    {"read", "FILE"},
                    WithFaults([](sim::Faults& f) { f.wrongReadEcho = '\0'; }),
                    "Read Failed!",
                    "answer from the programmer: \"\\x00\"\n"},
        FailureCase{"ReadToStdout",
                    {"read", "-"},
                    WithFaults([](sim::Faults& f) { f.wrongReadEcho = 'x'; }),
                    "Read Failed!"},
        FailureCase{
            "VerifyCounter", {"verify", "FILE"}, WithChip(SmallChip()), "Set Counter Failed!"},
        FailureCase{"VerifyRead",
                    {"verify", "FILE"},
                    WithFaults([](sim::Faults& f) { f.wrongReadEcho = '?'; }),
                    "Read Failed!"},
        FailureCase{"EraseAlone",
                    {"erase"},
                    WithFaults([](sim::Faults& f) { f.eraseFailures = 10; }),
                    "Erase Failed!"},
        FailureCase{
            "BlankCheckCounter", {"blank-check"}, WithChip(SmallChip()), "Set Counter Failed!"},
        FailureCase{"BlankCheckRead",
                    {"blank-check"},
                    WithFaults([](sim::Faults& f) { f.wrongReadEcho = 'x'; }),
                    "Read Failed!"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(CliTest, FastVerifyFailureOfAChangedChip) {
    sim::BoardOptions options;
    options.writePause = std::chrono::milliseconds(0);
    auto board = Board(options);
    const std::string file = HexFile("a.hex", Pattern(200));
    auto run = std::async(std::launch::async, [&] {
        return Cli({"program", "--fast-verify", file});
    });

    // Once the last byte of the write pass has reached the board, another
    // chip goes into the socket; the checksum that follows is that chip's.
    ASSERT_TRUE(board->WaitForCommands(6, std::chrono::seconds(30)));
    const auto log = board->CommandLog();
    ASSERT_EQ(log.back(), "w");
    const std::uint64_t commandBytes =
        std::accumulate(log.begin(), log.end(), std::uint64_t{0},
                        [](auto n, const auto& e) { return n + e.size(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (board->BytesReceived() < commandBytes + 200 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    board->InsertChip(sim::ChipFromCode("51"), std::vector<std::uint8_t>(4096, 0x00));

    CliResult r = run.get();
    EXPECT_EQ(r.status, esFailedStep) << r.err;
    EXPECT_EQ(r.err, "corvane-cli: Fast Verify Failed!\n");
}

TEST_F(CliTest, LineGoneInTheMiddleIsAPortError) {
    sim::BoardOptions options;
    options.faults.lineGoneAfter = 60;  // in the middle of the write pass
    auto board = Board(options);
    const std::string port = board->PortPath();
    CliResult r = Cli({"program", HexFile("a.hex", Pattern(200))});
    EXPECT_EQ(r.status, cli::esPortError) << r.err;
    EXPECT_TRUE(r.err.starts_with("corvane-cli: " + port + ": ")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(CliTest, BadHexFileIsNamedWithItsLine) {
    const std::string file = FDir.File("bad.hex");
    std::ofstream(file) << ":0400000001020304F2\n"
                           ":0400040005060708DE\n"
                           ":04000800090A0B0C00\n"
                           ":00000001FF\n";
    // No programmer is needed to find out.
    CliResult r = Cli({"program", file});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err, "corvane-cli: " + file + ": Checksum error at line:3\n");

    r = Cli({"program", FDir.File("missing.hex")});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err, "corvane-cli: " + FDir.File("missing.hex") + ": No such file or directory\n");

    std::ofstream(FDir.File("empty.hex")) << ":00000001FF\n";
    r = Cli({"program", FDir.File("empty.hex")});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_THAT(r.err, HasSubstr("No data to program!"));
}

TEST_F(CliTest, PortSkipsTheScan) {
    auto listed = Board();
    sim::VirtualProgrammer unlisted(WithChip(sim::ChipFromCode("52")));
    unlisted.Start();

    CliResult r = Cli({"detect", "--port", unlisted.PortPath()});
    EXPECT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.out, HasSubstr("89C52 on " + unlisted.PortPath() + "\n"));
    EXPECT_TRUE(listed->CommandLog().empty());
    EXPECT_FALSE(PrivateMapsLeft());
}

TEST_F(CliTest, PortWithAWrongPath) {
    auto listed = Board();
    const std::string path = FDir.File("no-such-tty");
    CliResult r = Cli({"detect", "--port", path});
    EXPECT_EQ(r.status, esNoProgrammer);
    EXPECT_EQ(r.err, "corvane-cli: " + path + ": No such file or directory\n");
    EXPECT_TRUE(listed->CommandLog().empty());
    EXPECT_FALSE(PrivateMapsLeft());
}

TEST_F(CliTest, PortsListsEachPortAndWhyTheSearchLeavesItAlone) {
    auto scanned = Board({}, "a");
    auto busy = Board({}, "b");
    auto excluded = Board({}, "c");
    const std::string plain = FDir.File("plain-file");
    std::ofstream(plain) << "";
    std::filesystem::create_symlink(plain, FMap + "/d");
    std::filesystem::create_directories(FConfig + "/corvane");
    std::ofstream(FConfig + "/corvane/corvane.ini")
        << "[Ports]\nNeverScan=" << excluded->PortPath() << "\n";
    HeldOpen terminalProgram(busy->PortPath());

    CliResult r = Cli({"ports"});
    EXPECT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(r.err, "");
    auto line = [](const std::string& port, const std::string& verdict) {
        return testing::ContainsRegex("(^|\n)" + port + " +" + verdict + "\n");
    };
    EXPECT_THAT(r.out, line(scanned->PortPath(),
                            "scanned; no search runs: greeted at once by "
                            "the next"));
    EXPECT_THAT(r.out, line(busy->PortPath(), "busy \\(held by process " +
                                                  std::to_string(terminalProgram.Pid()) + "\\)"));
    EXPECT_THAT(r.out, line(excluded->PortPath(), "excluded"));
    EXPECT_THAT(r.out, line(plain, "not a terminal"));
    // Listing opens nothing.
    for (const auto* board : {scanned.get(), busy.get(), excluded.get()}) {
        EXPECT_EQ(board->BytesReceived(), 0u);
    }
    EXPECT_EQ(Cli({"ports", "--port", plain}).status, esUsage);

    // While a search runs (here the test's own), when it greets each port next.
    setenv("CORVANE_SERIALCOMM", FMap.c_str(), 1);
    {
        TProbeBoard window("window");
        window.Publish({{scanned->PortPath(), std::chrono::seconds(9), 3, false}});
        EXPECT_THAT(Cli({"ports"}).out, line(scanned->PortPath(),
                                             "scanned; next greeting in [89] s, 3 unanswered "
                                             "\\(window\\)"));
    }
    unsetenv("CORVANE_SERIALCOMM");
    EXPECT_THAT(Cli({"ports"}).out, HasSubstr("no search runs"));  // its file went with it
}

TEST_F(CliTest, ABusyPortIsLeftAloneUnlessNamedWithPort) {
    auto board = Board();
    HeldOpen terminalProgram(board->PortPath());
    CliResult r = Cli({"detect"});
    EXPECT_EQ(r.status, esNoProgrammer);
    EXPECT_EQ(r.err, "corvane-cli: Available port not found! Left alone: " + board->PortPath() +
                         " busy (held by process " + std::to_string(terminalProgram.Pid()) + ")\n");
    EXPECT_EQ(board->BytesReceived(), 0u);

    r = Cli({"detect", "--port", board->PortPath()});
    EXPECT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.out, HasSubstr("89C51 on " + board->PortPath() + "\n"));
}

TEST_F(CliTest, APortRefusedForLackOfPermissionIsExplained) {
    auto board = Board();
    const std::string port = board->PortPath();
    // As root, the program runs as nobody; otherwise the port is closed to its owner.
    std::vector<std::string> asOther;
    std::optional<NoAccess> denied;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
        asOther = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const std::string& dir : {FDir.Path(), FMap}) chmod(dir.c_str(), 0755);
        chmod(FTmp.c_str(), 01777);  // where --port makes its private map
    } else {
        denied.emplace(port);
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"detect"}, {"detect", "--port", port}}) {
        CliResult r = RunCli(args, Env(), FDir.Path(), false, asOther);
        EXPECT_EQ(r.status, esNoProgrammer) << r.err;
        EXPECT_EQ(r.err.rfind("corvane-cli: " + port + ": Permission denied\n", 0), 0u) << r.err;
        EXPECT_THAT(r.err, HasSubstr("usermod -aG "));
        EXPECT_THAT(r.err, HasSubstr("log out and in again"));
    }
    CliResult r = RunCli({"ports"}, Env(), FDir.Path(), false, asOther);
    EXPECT_EQ(r.status, esComplete);
    EXPECT_THAT(r.out, HasSubstr(port + "  no permission (Permission denied)\n"));
    EXPECT_EQ(board->BytesReceived(), 0u);
}

TEST_F(CliTest, UsageErrorsHelpAndVersion) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{},
          {"flash"},
          {"program"},
          {"read", "a.hex", "b.hex"},
          {"program", "a.hex", "--size", "3K"},
          {"read", "a.hex", "--lock"},
          {"detect", "--bogus"},
          {"detect", "--size", "2K"},
          {"detect", "--port"},
          {"verify"},
          {"erase", "a.hex"},
          {"blank-check", "--lock"},
          {"verify", "a.hex", "--fast-verify"},
          {"detect", "--trace"},
          {"detect", "--trace", "-"},
          {"read", "a.hex", "--trace", "a.hex"},
          {"read", "a.hex", "--all"},
          {"detect", "--all"},
          {"erase", "--all", "--port", "/dev/null"},
          {"erase", "--count", "2"},
          {"erase", "--all", "--count", "0"},
          {"erase", "--all", "--timeout", "5"},
          {"erase", "--all", "--count", "2", "--timeout", "x"},
          {"erase", "--format", "bin"},
          {"read", "a.bin", "--format", "raw"}}) {
        CliResult r = Cli(args);
        EXPECT_EQ(r.status, esUsage) << testing::PrintToString(args);
        EXPECT_THAT(r.err, HasSubstr("Try 'corvane-cli --help'."));
        EXPECT_EQ(r.out, "");
    }
    CliResult r = Cli({"--help"});
    EXPECT_EQ(r.status, esComplete);
    EXPECT_THAT(r.out, HasSubstr("Exit status:"));
    EXPECT_THAT(r.out, HasSubstr("program FILE [--fast-verify] [--lock] [--size 2K|4K]"));
    for (const char* line : {"verify FILE", "--format hex|bin", "erase", "blank-check",
                             "--trace FILE", "\"Not Blank!\"", "--all", "--count N", "--timeout S",
                             "the highest of\nthe boards' statuses"}) {
        EXPECT_THAT(r.out, HasSubstr(line));
    }
    r = Cli({"--version"});
    EXPECT_EQ(r.status, esComplete);
    EXPECT_EQ(r.out, "corvane-cli " CORVANE_VERSION "\n");
}

TEST_F(CliTest, TerminalShowsAProgressBar) {
    auto board = Board();
    CliResult r = Cli({"program", HexFile("a.hex", Pattern(300))}, true);
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\r["));
    EXPECT_THAT(r.out, HasSubstr("#] "));  // a full bar at the end of a pass
    EXPECT_THAT(r.out, HasSubstr("] 300/300 bytes  "));
    EXPECT_THAT(r.out, HasSubstr("B/s"));
    EXPECT_THAT(r.out, Not(HasSubstr(" bytes in ")));
    EXPECT_THAT(r.out, HasSubstr("Complete!"));
}

std::string Hex(unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, value);
    return buf;
}

std::string DifferenceLine(unsigned address, unsigned file, unsigned chip) {
    return "corvane-cli: address " + Hex(address, 4) + ": file " + Hex(file, 2) + ", chip " +
           Hex(chip, 2) + "\n";
}

TEST_F(CliTest, VerifyComparesOverTheFilesDataAndNeverWrites) {
    sim::BoardOptions options;
    options.flash = Pattern(400);
    auto board = Board(options);

    // The chip holds more than the file; only the file's 300 bytes count.
    CliResult r = Cli({"verify", HexFile("same.hex", Pattern(300))});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.out, HasSubstr("Verify...\n300 of 300 bytes in "));
    EXPECT_TRUE(r.out.ends_with("Complete!\n")) << r.out;
    EXPECT_TRUE(Logged(*board, "s300\n"));

    // Three bytes differ, the last at the file's last byte.
    const auto chip = Pattern(300);
    auto data = chip;
    data[0x10] = 0x00;
    data[0x11] ^= 0xFF;
    data[0x12B] = 0x5A;
    r = Cli({"verify", HexFile("three.hex", data)});
    EXPECT_EQ(r.status, esFailedStep);
    EXPECT_EQ(r.err, "corvane-cli: Verify Failed!\n" + DifferenceLine(0x10, 0x00, chip[0x10]) +
                         DifferenceLine(0x11, data[0x11], chip[0x11]) +
                         DifferenceLine(0x12B, 0x5A, chip[0x12B]) +
                         "corvane-cli: 3 of 300 bytes differ\n");
    ExpectBoardAtItsPrompt();

    // Every byte differs: ten are named, all are counted.
    r = Cli({"verify", HexFile("other.hex", Pattern(300, 4))});
    EXPECT_EQ(r.status, esFailedStep);
    std::istringstream lines(r.err);
    std::vector<std::string> named;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("corvane-cli: address ")) named.push_back(line + "\n");
    }
    ASSERT_EQ(named.size(), 10u) << r.err;
    EXPECT_EQ(named.front(), DifferenceLine(0, 4, 3));
    EXPECT_EQ(named.back(), DifferenceLine(9, Pattern(300, 4)[9], chip[9]));
    EXPECT_TRUE(r.err.ends_with("corvane-cli: 300 of 300 bytes differ\n")) << r.err;
    ExpectBoardAtItsPrompt();

    for (const char* command : {"e", "w", "l"}) EXPECT_FALSE(Logged(*board, command)) << command;
    EXPECT_EQ(board->Flash(), [] {
        auto flash = Pattern(400);
        flash.resize(4096, 0xFF);
        return flash;
    }());
}

TEST_F(CliTest, BlankCheckOfAProgrammedChipThenEraseThenBlankCheck) {
    auto board = Board();
    ASSERT_EQ(Cli({"program", HexFile("a.hex", Pattern(64, 0), 0x0123)}).status, esComplete);
    // Pattern(64, 0) begins with 00.
    CliResult r = Cli({"blank-check"});
    EXPECT_EQ(r.status, esFailedStep);
    EXPECT_EQ(r.err,
              "corvane-cli: Not Blank!\n"
              "corvane-cli: address 0123 holds 00, the first byte that is not FF\n");
    EXPECT_TRUE(Logged(*board, "s4096\n"));
    ExpectBoardAtItsPrompt();

    board->ClearCommandLog();
    r = Cli({"erase"});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Erasing...\nErasing...[1/10]\nComplete!\n"));
    EXPECT_FALSE(Logged(*board, "w"));
    const auto flash = board->Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](auto b) { return b == 0xFF; }));

    r = Cli({"blank-check"});
    EXPECT_EQ(r.status, esComplete) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.out, HasSubstr("Blank Check...\n4096 of 4096 bytes in "));
    EXPECT_TRUE(r.out.ends_with("Complete!\n")) << r.out;
}

TEST_F(CliTest, EraseAndBlankCheckOf2051FollowTheSizeChoice) {
    sim::BoardOptions options = WithChip(sim::Chip2051(4096));
    options.flash = Pattern(4096);
    auto board = Board(options);
    CliResult r = Cli({"erase", "--size", "4K"});
    ASSERT_EQ(r.status, esComplete) << r.err;
    EXPECT_TRUE(Logged(*board, "s4096\n"));
    r = Cli({"blank-check", "--size", "4K"});
    EXPECT_EQ(r.status, esComplete) << r.err;
    EXPECT_THAT(r.out, HasSubstr("4096 of 4096 bytes in "));
}

TEST_F(CliTest, ReadIntoAPipeGivesWhatReadIntoAFileSaves) {
    sim::BoardOptions options = WithChip(sim::ChipFromCode("52"));
    options.flash = Pattern(8192, 9);
    auto board = Board(options);
    const std::string file = FDir.File("out.hex");
    ASSERT_EQ(Cli({"read", file}).status, esComplete);

    CliResult r = Cli({"read", "-"}, CliStreams{CliStreams::TOut::Pipe, std::nullopt});
    ASSERT_EQ(r.status, esComplete) << r.err;
    // All but the comment line's time of day.
    const std::string saved = ReadFile(file);
    ASSERT_TRUE(r.out.starts_with(";Created by Corvane : ")) << r.out.substr(0, 80);
    EXPECT_EQ(r.out.substr(r.out.find('\n')), saved.substr(saved.find('\n')));
    // The status texts went to standard error.
    EXPECT_THAT(r.err, HasSubstr("89C52 on " + board->PortPath() + "\nReading...\n"));
    EXPECT_TRUE(r.err.ends_with("Complete!\n")) << r.err;
    EXPECT_FALSE(PrivateMapsLeft());
}

TEST_F(CliTest, ProgramAndVerifyFromAPipe) {
    auto board = Board();
    const auto data = Pattern(500);
    const std::string text = ReadFile(HexFile("a.hex", data));
    CliResult r = Cli({"program", "-"}, CliStreams{CliStreams::TOut::File, text});
    ASSERT_EQ(r.status, esComplete) << r.err;
    const auto flash = board->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));

    r = Cli({"verify", "-", "-q"}, CliStreams{CliStreams::TOut::File, text});
    EXPECT_EQ(r.status, esComplete) << r.err;

    // A malformed text is named as standard input; the programmer is not asked.
    board->ClearCommandLog();
    r = Cli({"program", "-"},
            CliStreams{CliStreams::TOut::File, ":0400000001020304F2\r\n:04000400050607FF00\r\n"});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err, "corvane-cli: standard input: Checksum error at line:2\n");
    r = Cli({"verify", "-"}, CliStreams{CliStreams::TOut::File, ""});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err, "corvane-cli: standard input: No data to verify!\n");
    EXPECT_TRUE(board->CommandLog().empty());
    EXPECT_FALSE(PrivateMapsLeft());
}

// Files that can be read only once: standard input named as a file (`cat
// a.hex | corvane-cli program /dev/stdin`) and a named pipe.
TEST_F(CliTest, ProgramAndVerifyAFileThatCanBeReadOnce) {
    auto board = Board();
    const auto data = Pattern(500);
    const std::string text = ReadFile(HexFile("a.hex", data));
    CliResult r = Cli({"program", "/dev/stdin"}, CliStreams{CliStreams::TOut::File, text});
    ASSERT_EQ(r.status, esComplete) << r.err;
    const auto flash = board->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));

    const std::string fifo = FDir.File("fifo.hex");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto writer = std::async(std::launch::async, [&] {
        // Blocks until the program opens the pipe for reading.
        std::ofstream(fifo) << text;
    });
    r = Cli({"verify", fifo});
    EXPECT_EQ(r.status, esComplete) << r.err;
    // A reader of its own lets the writer go if the program never opened the pipe.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.get();
    close(reader);
}

// The bytes of a trace, one direction's in order.
struct TraceBytes {
    std::string sent;
    std::string received;
    std::vector<std::string> notes;
};

// Reads a trace as a script would; every line that is not a comment must
// have the four fields, with times that never go back.
TraceBytes ParseTrace(const std::string& text) {
    static const std::regex byteLine(R"(^ *([0-9]+\.[0-9]{3}) (TX|RX) ([0-9A-F]{2}) (\S+)$)");
    TraceBytes bytes;
    double last = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("#")) {
            bytes.notes.push_back(line);
            continue;
        }
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, byteLine)) << line;
        if (m.empty()) continue;
        const double ms = std::stod(m[1]);
        EXPECT_GE(ms, last) << line;
        last = ms;
        const char byte = static_cast<char>(std::stoi(m[3], nullptr, 16));
        (m[2] == "TX" ? bytes.sent : bytes.received) += byte;
    }
    return bytes;
}

TEST_F(CliTest, TraceOfADetectShowsTheGreetingBothWays) {
    auto board = Board();
    const std::string trace = FDir.File("trace.txt");
    CliResult r = Cli({"detect", "--trace", trace});
    ASSERT_EQ(r.status, esComplete) << r.err;
    const std::string text = ReadFile(trace);
    const TraceBytes bytes = ParseTrace(text);
    // The greeting CR and the chip query went out; the banner and both
    // prompts came back.
    EXPECT_EQ(bytes.sent, "\rp");
    EXPECT_THAT(bytes.received, HasSubstr("Yarv"));
    EXPECT_EQ(std::count(bytes.received.begin(), bytes.received.end(), '>'), 2);
    EXPECT_EQ(bytes.sent.size(), board->BytesReceived());
    EXPECT_EQ(bytes.received.size(), board->BytesSent());
    EXPECT_THAT(text, testing::ContainsRegex(" TX 0D CR\n"));
    EXPECT_THAT(text, testing::ContainsRegex(" RX 59 Y\n"));
    EXPECT_THAT(text, testing::ContainsRegex(" RX 20 SP\n"));
    EXPECT_THAT(bytes.notes, testing::Contains(testing::EndsWith(" open " + board->PortPath())));
}

TEST_F(CliTest, TraceOfAProgramHoldsTheWritePass) {
    auto board = Board();
    const auto data = Pattern(50);  // holds XON (17) as data, at byte 2
    const std::string trace = FDir.File("trace.txt");
    CliResult r = Cli({"program", HexFile("a.hex", data), "--trace", trace, "-q"});
    ASSERT_EQ(r.status, esComplete) << r.err;
    const TraceBytes bytes = ParseTrace(ReadFile(trace));
    EXPECT_THAT(bytes.sent, HasSubstr("w" + std::string(data.begin(), data.end()) + "r"));
    EXPECT_EQ(bytes.sent.size(), board->BytesReceived());
    EXPECT_EQ(bytes.received.size(), board->BytesSent());
    EXPECT_EQ(std::count(bytes.received.begin(), bytes.received.end(), '\x13'), 50);

    // A trace that cannot be written stops the command before the line is used.
    board->ClearCommandLog();
    r = Cli({"erase", "--trace", FDir.File("no-such-dir/trace.txt")});
    EXPECT_EQ(r.status, esBadFile);
    EXPECT_EQ(r.err, "corvane-cli: " + FDir.File("no-such-dir/trace.txt") +
                         ": No such file or directory\n");
    EXPECT_TRUE(board->CommandLog().empty());
}

}  // namespace
}  // namespace corvane::test
