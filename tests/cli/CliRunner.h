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
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "TempDir.h"

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
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
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

}  // namespace corvane::test
