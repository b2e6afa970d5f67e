#pragma once

// Real pseudo-terminals for the port tests: the port opens the terminal side,
// the test plays the far end on the controlling side.
//
// On Windows (under Wine) the terminal is a COM port of the Wine prefix, and
// the far end is a connection to the harness's broker, which passes bytes
// to and from the terminal's controlling side (tests/wine, PtyHelpers_win.cpp).

#include <cstddef>
#include <cstdint>
#include <string>

#include "UnderWine.h"

#ifdef _WIN32

namespace corvane::testing {

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // The port's name (COM10).
    const std::string& Path() const { return FPath; }
    void Write(const std::string& data) const;
    // Reads up to `count` bytes, waiting at most `timeoutMs` for all of them.
    std::string Read(std::size_t count, int timeoutMs = 5000) const;
    // The far end goes away (like a pulled USB adapter).
    void CloseMaster();

private:
    std::uintptr_t FSocket;
    std::string FPath;
};

}  // namespace corvane::testing

#else

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "TempDir.h"

namespace corvane::testing {

class Pty {
public:
    Pty() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        char name[128];
        if (ptsname_r(FMaster, name, sizeof name) != 0) throw std::runtime_error("ptsname");
        FPath = name;
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // The terminal side's path, as a port name.
    const std::string& Path() const { return FPath; }
    int Master() const { return FMaster; }

    void Write(const std::string& data) const {
        std::size_t done = 0;
        while (done < data.size()) {
            ssize_t n = write(FMaster, data.data() + done, data.size() - done);
            if (n <= 0) throw std::runtime_error("pty write failed");
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads up to `count` bytes, waiting at most `timeoutMs` for all of them.
    std::string Read(std::size_t count, int timeoutMs = 5000) const {
        std::string out;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fd{FMaster, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[256];
            ssize_t n = read(FMaster, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    // The far end goes away (like a pulled USB adapter).
    void CloseMaster() {
        if (FMaster >= 0) close(FMaster);
        FMaster = -1;
    }

private:
    int FMaster = -1;
    std::string FPath;
};

// A far end that sends back everything it receives.
class EchoPeer {
public:
    explicit EchoPeer(const Pty& pty) : FFd(pty.Master()) {
        FThread = std::thread([this] {
            char buf[256];
            while (!FStop.load()) {
                pollfd fd{FFd, POLLIN, 0};
                if (poll(&fd, 1, 20) <= 0) continue;
                ssize_t n = read(FFd, buf, sizeof buf);
                if (n <= 0) continue;
                (void)!write(FFd, buf, static_cast<std::size_t>(n));
            }
        });
    }
    ~EchoPeer() {
        FStop = true;
        FThread.join();
    }
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

private:
    int FFd;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

using TempDir = corvane::test::TempDir;

}  // namespace corvane::testing

#endif
