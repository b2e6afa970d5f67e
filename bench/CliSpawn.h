#pragma once

// corvane-cli (or another program) started by a benchmark as a child
// process, corvane-cli on a device map of the benchmark's own.
// CORVANE_CLI_PATH names corvane-cli.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "UHexFile.h"

extern char** environ;

namespace corvane::bench {

using Clock = std::chrono::steady_clock;

struct TTimes {
    bool Ok = false;  // exit status 0
    double Seconds = 0;
    double CpuSeconds = 0;  // the program's own, user plus system
};

// A folder of the benchmark's own for its files; empty when none can be made.
inline std::filesystem::path MakeBenchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

// `bytes` bytes that are never 0xFF, from address 0, saved as the Intel HEX
// file `file`; they are returned.
inline std::vector<std::uint8_t> SavePattern(unsigned bytes, const std::string& file) {
    std::vector<std::uint8_t> data(bytes);
    THexFile image;
    image.SetMemSize(8192);
    image.Clear();
    for (unsigned i = 0; i < bytes; ++i) {
        data[i] = static_cast<std::uint8_t>((i * 31 + 7) % 255);
        image.SetByte(static_cast<std::uint16_t>(i), data[i]);
    }
    image.SaveHex(file);
    return data;
}

// Starts the program `args[0]` with the rest of `args`, the environment this
// process has with `env` ("NAME=VALUE") in place of its own entries of those
// names, its output and errors to `log`, its input `input` (else nothing);
// -1 when it cannot.
inline pid_t Spawn(std::vector<std::string> args, const std::vector<std::string>& env,
                   const std::filesystem::path& log, int input = -1) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& mine) {
            return entry.starts_with(mine.substr(0, mine.find('=') + 1));
        });
        if (!replaced) envText.push_back(entry);
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0) {
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

#ifdef CORVANE_CLI_PATH
// Starts corvane-cli with `args` on the device map `map` and the settings
// folder `config`, its output and errors to `log`; -1 when it cannot.
inline pid_t SpawnCli(const std::vector<std::string>& args, const std::filesystem::path& map,
                      const std::filesystem::path& config, const std::filesystem::path& log) {
    std::vector<std::string> argText{CORVANE_CLI_PATH};
    argText.insert(argText.end(), args.begin(), args.end());
    return Spawn(argText,
                 {"CORVANE_SERIALCOMM=" + map.string(), "XDG_CONFIG_HOME=" + config.string()}, log);
}
#endif

// Waits for the program that SpawnCli started at `start`.
inline TTimes WaitCli(pid_t pid, Clock::time_point start) {
    auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    TTimes times;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    times.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    times.CpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    times.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return times;
}

#ifdef CORVANE_CLI_PATH
// Runs corvane-cli to its end (see SpawnCli).
inline TTimes RunCli(const std::vector<std::string>& args, const std::filesystem::path& map,
                     const std::filesystem::path& config, const std::filesystem::path& log) {
    const auto start = Clock::now();
    const pid_t pid = SpawnCli(args, map, config, log);
    if (pid < 0) return {};
    return WaitCli(pid, start);
}
#endif

}  // namespace corvane::bench
