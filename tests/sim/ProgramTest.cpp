// The program corvane-sim, started as a process.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "FaultSchedule.h"
#include "HostLine.h"
#include "UHexFile.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

bool EntryExists(const std::string& path) {
    return fs::exists(fs::symlink_status(path));
}

class SimProcess {
public:
    SimProcess(std::vector<std::string> args, const std::string& mapOverride = {}) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

        args.insert(args.begin(), CORVANE_SIM_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string_view(*e).rfind("CORVANE_SERIALCOMM=", 0) != 0) env.emplace_back(*e);
        }
        if (!mapOverride.empty()) env.push_back("CORVANE_SERIALCOMM=" + mapOverride);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        CloseStdin();
        if (stdout_ >= 0) ::close(stdout_);
    }

    // The first line on standard output ("PORT ENTRY"), waiting for it.
    std::string ReadLine() {
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0 || ::read(stdout_, &c, 1) != 1) break;
            line += c;
        }
        return line;
    }
    // All that is left on standard output until it ends.
    std::string ReadAll() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(stdout_, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }
    void Write(const std::string& text) {
        ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    // The exit status, or -1 when it did not end normally.
    int Wait() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

TEST(SimProgram, AnnouncesItsPortAndWithdrawsItOnSigterm) {
    TempDir map;
    SimProcess sim({"--map", map.Path(), "--name", "sim1", "--chip", "52"});
    std::istringstream line(sim.ReadLine());
    std::string port, entry;
    line >> port >> entry;
    ASSERT_EQ(entry, map.Path() + "/sim1");
    EXPECT_EQ(fs::read_symlink(entry), port);

    HostLine host(port);
    EXPECT_THAT(host.Exchange('\r'), HasSubstr("Yarv"));
    EXPECT_EQ(host.Exchange('p'), "p52,0 ok\r\n>");

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(EntryExists(entry));
    EXPECT_TRUE(host.WaitHangUp());
}

// The socket, worked by a line on standard input or by a signal; each change
// is confirmed on standard output.
TEST(SimProgram, TheSocketTakesItsChipOutAndSeatsAFreshOne) {
    TempDir map;
    SimProcess sim({"--map", map.Path(), "--chip", "52", "--locked"});
    std::istringstream first(sim.ReadLine());
    std::string port;
    first >> port;
    HostLine host(port);
    const struct {
        std::string line;  // empty: the signal instead
        int signal;
        const char* confirmed;
        const char* p;
    } steps[] = {{"out\n", 0, "socket empty\n", "p00,1"},
                 {"in \r\n", 0, "socket 52\n", "p52,0"},  // fresh: blank and not locked
                 {"", SIGUSR1, "socket empty\n", "p00,1"},
                 {"", SIGUSR2, "socket 52\n", "p52,0"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.confirmed);
        if (step.line.empty()) {
            sim.Signal(step.signal);
        } else {
            sim.Write(step.line);
        }
        EXPECT_EQ(sim.ReadLine(), step.confirmed);
        EXPECT_THAT(host.Exchange('p'), HasSubstr(step.p));
    }
}

TEST(SimProgram, EndOfInputEndsItAndTheFlashIsDumped) {
    TempDir dir;
    const std::string map = dir.Path() + "/map";
    corvane::THexFile image;
    image.SetMemSize(2048);
    image.Clear();
    image.SetByte(0, 0xF0);
    image.SetByte(2047, 0x55);
    image.SaveHex(dir.Path() + "/in.hex");

    // The map directory comes from CORVANE_SERIALCOMM here.
    SimProcess sim({"--chip", "2051", "--flash", dir.Path() + "/in.hex", "--dump",
                    dir.Path() + "/out.hex", "--name", "sim2"},
                   map);
    std::istringstream line(sim.ReadLine());
    std::string port, entry;
    line >> port >> entry;
    ASSERT_EQ(entry, map + "/sim2");
    ASSERT_TRUE(EntryExists(entry));
    {
        HostLine host(port);
        EXPECT_THAT(host.Exchange('\r'), HasSubstr("2051"));
        // Program 0x3C over 0xF0 at address 0.
        ASSERT_EQ(host.Exchange('s', '\x11'), "\x11");
        ASSERT_EQ(host.Exchange('1', '\x11'), "\x11");
        ASSERT_THAT(host.Exchange('\n'), HasSubstr("ok"));
        ASSERT_EQ(host.Exchange('w', 'w'), "w");
        ASSERT_EQ(host.ReadCount(1), "\x11");
        host.Send('\x3C');
        ASSERT_EQ(host.ReadCount(1), "\x13");
        ASSERT_EQ(host.ReadCount(1), ">");
    }
    sim.CloseStdin();
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(EntryExists(entry));

    corvane::THexFile dump;
    dump.SetMemSize(2048);
    dump.LoadHex(dir.Path() + "/out.hex");
    EXPECT_EQ(dump.GetByte(0), 0x30);
    EXPECT_EQ(dump.GetByte(1), 0xFF);
    EXPECT_EQ(dump.GetByte(2047), 0x55);
}

TEST(SimProgram, HelpAndBadOptions) {
    {
        SimProcess sim({"--help"});
        const std::string help = sim.ReadAll();
        EXPECT_EQ(sim.Wait(), 0);
        for (const char* option :
             {"--chip",        "--flash",  "--pace",        "--baud",          "--erase-delay",
              "--write-pause", "--silent", "--no-p-answer", "--erase-fail",    "--bad-xoff",
              "--bad-echo",    "--noise",  "--gone-after",  "--map",           "--name",
              "--dump",        "--faults", "--schedule",    "--show-schedule", "--prompt"}) {
            EXPECT_THAT(help, HasSubstr(option));
        }
    }
    for (std::vector<std::string> bad : {std::vector<std::string>{"--chip", "8051"},
                                         {"--baud", "0"},
                                         {"--bad-xoff", "x"},
                                         {"--name", "../up"},
                                         {"stray"}}) {
        SimProcess sim(bad);
        EXPECT_EQ(sim.Wait(), 2) << bad[0];
    }
}

// A seed's schedule is shown for editing; a schedule from a file is played.
TEST(SimProgram, FaultScheduleOptions) {
    {
        SimProcess sim({"--faults", "7", "--show-schedule"});
        corvane::sim::DrawOptions draw;
        draw.length = std::chrono::hours(1);
        EXPECT_EQ(sim.ReadAll(), corvane::sim::ScheduleText(corvane::sim::DrawSchedule(7, draw)));
        EXPECT_EQ(sim.Wait(), 0);
    }
    TempDir dir;
    const std::string file = dir.Path() + "/schedule";
    std::ofstream(file) << "# the chip out at once, the greeting's reply lost\n0 out\n0 lose 1\n";
    SimProcess sim({"--map", dir.Path(), "--schedule", file, "--prompt", "bare"});
    std::istringstream first(sim.ReadLine());
    std::string port;
    first >> port;
    EXPECT_EQ(sim.ReadLine(), "socket empty\n");
    HostLine host(port);
    host.Send('\r');
    EXPECT_EQ(host.Exchange('p'), "p00,1 ok>");
    for (std::vector<std::string> bad : {std::vector<std::string>{"--faults", "x"},
                                         {"--prompt", "loud"},
                                         {"--schedule", dir.Path() + "/none"},
                                         {"--show-schedule"}}) {
        SimProcess failing(bad);
        EXPECT_EQ(failing.Wait(), 2) << bad[0];
    }
}

TEST(SimProgram, HostileLineOptions) {
    TempDir map;
    auto start = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--map", map.Path()});
        auto sim = std::make_unique<SimProcess>(args);
        std::istringstream line(sim->ReadLine());
        std::string port;
        line >> port;
        return std::make_pair(std::move(sim), port);
    };
    {
        auto [sim, port] = start({"--greeting", "hello>", "--split", "1"});
        HostLine host(port);
        EXPECT_EQ(host.Exchange('\r'), "hello>");
    }
    {
        auto [sim, port] = start({"--echo"});
        HostLine host(port);
        EXPECT_EQ(host.Exchange('p', 'p'), "p");
    }
    {
        auto [sim, port] = start({"--flood", "ab", "--random-noise", "3,2,0"});
        HostLine host(port);
        EXPECT_EQ(host.ReadCount(6), "ababab");
    }
    {
        auto [sim, port] = start({"--gone-after-sent", "3"});
        HostLine host(port);
        host.Send('\r');
        EXPECT_TRUE(host.WaitHangUp());
    }
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--random-noise", "1,2"}, {"--flood", ""}, {"--split", "x"}}) {
        SimProcess sim(bad);
        EXPECT_EQ(sim.Wait(), 2) << bad[0];
    }
}

TEST(SimProgram, PassOptions) {
    TempDir map;
    SimProcess sim({"--xon-glitch", "1", "--xon-glitch-byte", "35", "--pass-timeout", "60000",
                    "--write-pause", "0", "--map", map.Path()});
    std::istringstream line(sim.ReadLine());
    std::string port;
    line >> port;
    HostLine host(port);
    ASSERT_EQ(host.Exchange('s', '\x11'), "\x11");
    ASSERT_EQ(host.Exchange('1', '\x11'), "\x11");
    ASSERT_THAT(host.Exchange('\n'), HasSubstr("ok"));
    EXPECT_EQ(host.Exchange('w', 'w'), "w");
    EXPECT_EQ(host.ReadCount(1), "#");  // in place of the XON; the byte is still awaited
    host.Send('\0');
    EXPECT_EQ(host.ReadCount(2), "\x13>");

    for (std::vector<std::string> bad : {std::vector<std::string>{"--xon-glitch", "0"},
                                         {"--xon-glitch-byte", "256"},
                                         {"--pass-timeout", "0"}}) {
        SimProcess refused(bad);
        EXPECT_EQ(refused.Wait(), 2) << bad[0];
    }
}

TEST(SimProgram, FlashBeyondTheChipIsRefused) {
    TempDir dir;
    corvane::THexFile image;
    image.SetMemSize(8192);
    image.Clear();
    image.SetByte(5000, 0x00);
    image.SaveHex(dir.Path() + "/big.hex");
    SimProcess sim({"--chip", "51", "--flash", dir.Path() + "/big.hex", "--map", dir.Path()});
    EXPECT_EQ(sim.Wait(), 2);
}

}  // namespace
