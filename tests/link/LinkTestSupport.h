#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ProgrammerLink.h"
#include "RecordingView.h"
#include "TempDir.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"
#include "device/DeviceMap.h"

namespace corvane::test {

// A device map of the test's own: CORVANE_SERIALCOMM points at it.
class DeviceMap {
public:
    DeviceMap() : FDir(FRoot.File("serialcomm")) {
        std::filesystem::create_directory(FDir);
        setenv("CORVANE_SERIALCOMM", FDir.c_str(), 1);
    }
    const std::string& Dir() const { return FDir; }
    // Lists `device` under a port name of the test's own (a link named
    // `name` beside the map), so that the list's order (that of the port
    // names) is the test's. Returns the port name.
    std::string AddNamed(const std::string& name, const std::string& device) const {
        const std::string port = FRoot.File(name);
        std::filesystem::create_symlink(device, port);
        if (int rc = device::AnnouncePort(FDir, name, port)) {
            throw std::system_error(rc, std::generic_category(), "announce " + name);
        }
        return port;
    }
    // Points the map at a directory that does not exist.
    void MakeMissing() {
        std::filesystem::remove_all(FDir);
        setenv("CORVANE_SERIALCOMM", FDir.c_str(), 1);
    }

private:
    TempDir FRoot;
    std::string FDir;
};

// A board announced in the map under `entry`.
inline std::unique_ptr<sim::VirtualProgrammer> StartBoard(const DeviceMap& map,
                                                          const std::string& entry,
                                                          sim::BoardOptions options = {}) {
    auto board = std::make_unique<sim::VirtualProgrammer>(std::move(options));
    board->Start();
    board->Announce(map.Dir(), entry);
    return board;
}

inline sim::BoardOptions BoardWith(const sim::Chip& chip) {
    sim::BoardOptions options;
    options.chip = chip;
    return options;
}

// Sorts boards by their port names, the order in which the poll tries them.
inline void SortByPort(std::vector<std::unique_ptr<sim::VirtualProgrammer>>& boards) {
    std::sort(boards.begin(), boards.end(),
              [](const auto& a, const auto& b) { return a->PortPath() < b->PortPath(); });
}

// A pseudo-terminal whose far end the test plays itself, byte by byte.
class RawLine {
public:
    RawLine() {
        char name[256];
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&FMaster, &FSlave, name, &raw, nullptr) != 0) {
            throw std::system_error(errno, std::generic_category(), "openpty");
        }
        FPath = name;
    }
    ~RawLine() {
        StopResponder();
        close(FMaster);
        close(FSlave);
    }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    const std::string& Path() const { return FPath; }

    // Queues text for the host to read.
    void Put(const std::string& text) {
        if (write(FMaster, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::system_error(errno, std::generic_category(), "write");
        }
    }
    // What the host has sent so far and nobody has taken yet (no waiting).
    std::string Take() {
        std::string out;
        char buf[256];
        pollfd p{FMaster, POLLIN, 0};
        while (poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
            ssize_t n = read(FMaster, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Answers every character the host sends with respond(c), written in one
    // piece, until the line is dropped. Everything received is kept.
    void Respond(std::function<std::string(char)> respond) {
        FRespond = std::move(respond);
        FStop = false;
        FThread = std::thread([this] { Serve(); });
    }
    void StopResponder() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
    }
    std::string Received() {
        StopResponder();
        return FReceived;
    }

private:
    void Serve() {
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            char c;
            if (read(FMaster, &c, 1) != 1) return;
            FReceived.push_back(c);
            std::string answer = FRespond(c);
            if (!answer.empty()) Put(answer);
        }
    }

    int FMaster = -1;
    int FSlave = -1;
    std::string FPath;
    std::function<std::string(char)> FRespond;
    std::atomic<bool> FStop{false};
    std::string FReceived;
    std::thread FThread;
};

// An image of `size` bytes: a pattern over the first `count` bytes (with a
// few 0xFF bytes among them), blank behind.
inline THexFile PatternImage(std::uint16_t size, std::uint16_t count, unsigned seed = 7) {
    THexFile image;
    image.SetMemSize(size);
    image.Clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t v = static_cast<std::uint8_t>((i * 31 + seed * 17 + (i >> 8)) & 0xFF);
        if (i % 97 == 5) v = 0xFF;  // erased-looking bytes in front of the last are written too
        if (v == 0xFF && i + 1 == count) v = 0x5A;
        image.SetByte(static_cast<std::uint16_t>(i), v);
    }
    return image;
}

inline std::string WriteHex(const TempDir& dir, const std::string& name, const THexFile& image) {
    std::string path = dir.File(name);
    image.SaveHex(path);
    return path;
}

inline std::string WriteText(const TempDir& dir, const std::string& name, const std::string& text) {
    std::string path = dir.File(name);
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) throw std::system_error(errno, std::generic_category(), "fopen");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return path;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

inline std::vector<std::uint8_t> Prefix(const std::vector<std::uint8_t>& bytes, std::size_t n) {
    return std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(n));
}

// Whether this process still has a descriptor open on `path`.
inline bool ProcessHolds(const std::string& path) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path) return true;
    }
    return false;
}

// Whether another opener gets the port now: the link's open is exclusive,
// so a port the link holds is refused.
inline bool PortIsFree(const std::string& path) {
    TComPort other;
    other.SetPort(path);
    try {
        other.OpenPort();
    } catch (const EComPort&) {
        return false;
    }
    return true;
}

}  // namespace corvane::test
