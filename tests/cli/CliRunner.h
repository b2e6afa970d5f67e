#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "SpawnSignals.h"
#include "TempDir.h"
#include "WaitFor.h"

extern char** environ;

namespace corvane::test {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The test's environment, changed by `env` (an empty value removes the variable).
inline std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& env) {
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (!env.contains(entry.substr(0, entry.find('=')))) envText.push_back(entry);
    }
    for (const auto& [name, value] : env) {
        if (!value.empty()) envText.push_back(name + "=" + value);
    }
    return envText;
}

// An argv or envp for `texts`, which must outlive it.
inline std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// What a run of the program gave.
struct CliResult {
    int status = -1;  // exit status; 128 + N for a signal N
    std::string out;
    std::string err;
};

// Where the program's standard streams lead.
struct CliStreams {
    // Standard output: a file, a pseudo-terminal (the program sees a
    // terminal) or a pipe that the test reads.
    enum class TOut { File, Terminal, Pipe } out = TOut::File;
    // Standard input: /dev/null, or a pipe that carries this text.
    std::optional<std::string> input;
};

// Runs the real corvane-cli with `args` and the test's environment, changed
// by `env` (an empty value removes the variable). Standard error goes to a
// file. A `wrapper` runs the program (such as setpriv with another user's
// identity).
inline CliResult RunCli(const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env,
                        const std::string& scratchDir, const CliStreams& streams,
                        const std::vector<std::string>& wrapper = {}) {
    const bool onTerminal = streams.out == CliStreams::TOut::Terminal;
    std::vector<std::string> envText = EnvironmentWith(env);
    std::vector<char*> envp = Pointers(envText);
    std::vector<std::string> argText = wrapper;
    argText.push_back(CORVANE_CLI_PATH);
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv = Pointers(argText);

    const std::string outPath = scratchDir + "/cli.out";
    const std::string errPath = scratchDir + "/cli.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int inPipe[2] = {-1, -1};
    if (streams.input) {
        if (pipe2(inPipe, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int master = -1;
    int slave = -1;
    if (onTerminal) {
        winsize size{};
        size.ws_col = 80;
        size.ws_row = 24;
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
            throw std::system_error(errno, std::generic_category(), "openpty");
        }
        posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, master);
        posix_spawn_file_actions_addclose(&actions, slave);
    } else if (streams.out == CliStreams::TOut::Pipe) {
        int outPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        master = outPipe[0];
        slave = outPipe[1];
        posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    SignalsAsFromATerminal(attributes);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (slave >= 0) close(slave);
    if (inPipe[0] >= 0) close(inPipe[0]);
    if (spawned != 0) {
        if (master >= 0) close(master);
        if (inPipe[1] >= 0) close(inPipe[1]);
        throw std::system_error(spawned, std::generic_category(), "posix_spawn");
    }
    // The input goes in from a thread of its own, so a program that reads
    // slowly or not at all never blocks the test.
    std::thread feeder;
    if (streams.input) {
        feeder = std::thread([fd = inPipe[1], text = *streams.input] {
            // A program that ends without reading makes the write fail with
            // EPIPE instead of ending the test.
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            const char* p = text.data();
            std::size_t left = text.size();
            while (left > 0) {
                ssize_t n = write(fd, p, left);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                p += n;
                left -= static_cast<std::size_t>(n);
            }
            close(fd);
        });
    }

    CliResult result;
    if (master >= 0) {
        // Read until the last writer has gone (EIO), so the child never
        // blocks on a full terminal.
        char buf[4096];
        for (;;) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                result.out.append(buf, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        close(master);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (feeder.joinable()) feeder.join();
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (streams.out == CliStreams::TOut::File) result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

inline CliResult RunCli(const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env,
                        const std::string& scratchDir, bool onTerminal = false,
                        const std::vector<std::string>& wrapper = {}) {
    CliStreams streams;
    if (onTerminal) streams.out = CliStreams::TOut::Terminal;
    return RunCli(args, env, scratchDir, streams, wrapper);
}

// corvane-cli started in the background: standard output and error in
// files, or on a pseudo-terminal that is the controlling terminal of a session
// of its own (as a terminal window or an ssh connection gives one).
class CliProcess {
public:
    CliProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               const std::string& dir, bool onTerminal)
        : FOut(dir + "/bg.out"), FErr(dir + "/bg.err") {
        std::vector<std::string> envText = EnvironmentWith(env);
        std::vector<char*> envp = Pointers(envText);
        std::vector<std::string> argText{CORVANE_CLI_PATH};
        argText.insert(argText.end(), args.begin(), args.end());
        std::vector<char*> argv = Pointers(argText);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        short flags = 0;
        int slave = -1;
        if (onTerminal) {
            char name[128];
            if (openpty(&FMaster, &slave, nullptr, nullptr, nullptr) != 0 ||
                ptsname_r(FMaster, name, sizeof name) != 0) {
                throw std::system_error(errno, std::generic_category(), "openpty");
            }
            // Opened by the leader of a new session, the terminal becomes its
            // controlling terminal.
            flags = POSIX_SPAWN_SETSID;
            posix_spawn_file_actions_addclose(&actions, FMaster);
            posix_spawn_file_actions_addclose(&actions, slave);
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, name, O_RDWR, 0);
            posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, FOut.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, FErr.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        SignalsAsFromATerminal(attributes, flags);
        const int rc = posix_spawn(&FPid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (slave >= 0) close(slave);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn");
        if (FMaster >= 0) fcntl(FMaster, F_SETFL, O_NONBLOCK);
    }
    ~CliProcess() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            Wait();
        }
        HangUp();
    }
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    void Signal(int signal) { kill(FPid, signal); }
    std::string ErrSoFar() const { return ReadFile(FErr); }

    // The terminal: what the program wrote so far is read (so that it never
    // waits on a full terminal), keys are typed, the terminal is closed.
    void ReadTerminal() {
        char buf[4096];
        ssize_t n = 0;
        while (FMaster >= 0 && (n = read(FMaster, buf, sizeof buf)) > 0) {
            FTerminal.append(buf, static_cast<std::size_t>(n));
        }
    }
    // What the program wrote to the terminal so far (ReadTerminal first).
    const std::string& Terminal() const { return FTerminal; }
    void Type(const std::string& keys) {
        ASSERT_EQ(write(FMaster, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    void HangUp() {
        if (FMaster >= 0) close(FMaster);
        FMaster = -1;
    }

    // Whether the program takes Ctrl+C itself by now.
    bool TakesSignals() const {
        std::ifstream status("/proc/" + std::to_string(FPid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("SigBlk:") &&
                (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGINT - 1))) != 0) {
                return true;
            }
        }
        return false;
    }

    // Whether the program has ended (Wait then gives how).
    bool Ended() {
        if (!FEnded) FEnded = waitpid(FPid, &FWaitStatus, WNOHANG) == FPid;
        return FEnded;
    }

    // Output and error are one on a terminal.
    CliResult Wait() {
        while (!FEnded && waitpid(FPid, &FWaitStatus, 0) < 0 && errno == EINTR) {
        }
        FPid = -1;
        FEnded = false;
        CliResult result;
        result.status =
            WIFEXITED(FWaitStatus) ? WEXITSTATUS(FWaitStatus) : 128 + WTERMSIG(FWaitStatus);
        if (FMaster >= 0) {
            // Everything the program wrote, up to the end of the terminal (EIO).
            fcntl(FMaster, F_SETFL, 0);
            ReadTerminal();
            result.out = FTerminal;
            return result;
        }
        result.out = ReadFile(FOut);
        result.err = ReadFile(FErr);
        return result;
    }

private:
    std::string FOut, FErr;
    std::string FTerminal;
    int FMaster = -1;
    pid_t FPid = -1;
    bool FEnded = false;
    int FWaitStatus = 0;
};

}  // namespace corvane::test
