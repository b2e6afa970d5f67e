#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "TempDir.h"

// The host's end of the line in the tests: the pty slave opened with plain
// termios, the way a serial port is opened.
class HostLine {
public:
    explicit HostLine(const std::string& path, bool setRaw = false) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0 && setRaw) {
            termios tio{};
            tcgetattr(fd_, &tio);
            cfmakeraw(&tio);
            cfsetspeed(&tio, B9600);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~HostLine() {
        if (fd_ >= 0) ::close(fd_);
    }
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    int Fd() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    bool Send(char c) { return Send(std::string_view(&c, 1)); }

    // Reads until `terminator` has come (everything up to and including it is
    // returned; what follows stays for the next read) or the time is up.
    std::string ReadUntil(char terminator, std::chrono::milliseconds timeout = kWait) {
        return ReadWhile([&](const std::string& got) { return got.find(terminator); }, timeout);
    }
    // Reads exactly n bytes, or what came until the time was up.
    std::string ReadCount(std::size_t n, std::chrono::milliseconds timeout = kWait) {
        return ReadWhile(
            [&](const std::string& got) { return got.size() >= n ? n - 1 : std::string::npos; },
            timeout);
    }
    std::string Exchange(char command, char terminator = '>') {
        Send(command);
        return ReadUntil(terminator);
    }

    // True when the board has gone: a read reports end of line or an error.
    bool WaitHangUp(std::chrono::milliseconds timeout = kWait) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                if (p.revents & (POLLHUP | POLLERR)) return true;
                char buf[256];
                ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
            }
        }
        return false;
    }

    static constexpr std::chrono::milliseconds kWait{5000};

private:
    template <typename Done>
    std::string ReadWhile(Done done, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto pos = done(pending_); pos != std::string::npos) {
                std::string out = pending_.substr(0, pos + 1);
                pending_.erase(0, pos + 1);
                return out;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                pending_.append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EAGAIN) {
                break;
            }
        }
        std::string out;
        out.swap(pending_);
        return out;
    }

    int fd_ = -1;
    std::string pending_;
};

using TempDir = corvane::test::TempDir;
