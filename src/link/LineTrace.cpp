#include "LineTrace.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "FileName.h"

namespace corvane {

namespace {

constexpr const char* kControlNames[32] = {"NUL", "SOH", "STX", "ETX",  "EOT", "ENQ", "ACK", "BEL",
                                           "BS",  "HT",  "LF",  "VT",   "FF",  "CR",  "SO",  "SI",
                                           "DLE", "XON", "DC2", "XOFF", "DC4", "NAK", "SYN", "ETB",
                                           "CAN", "EM",  "SUB", "ESC",  "FS",  "GS",  "RS",  "US"};

std::mutex gDefaultMutex;
std::shared_ptr<TLineTrace> gDefault;

}  // namespace

TLineTrace::TLineTrace(std::FILE* file) : FFile(file), FStart(Clock::now()) {
    // One line at a time reaches the file, so nothing is lost when the
    // program hangs and is killed.
    std::setvbuf(FFile, nullptr, _IOLBF, 0);
    std::fputs(
        "# corvane line trace: milliseconds since the start, TX (host to programmer) or RX\n"
        "# (programmer to host), the byte in hex, its character; '#' lines are comments\n",
        FFile);
}

TLineTrace::TLineTrace(Clock::time_point start) : FFile(nullptr), FStart(start) {}

TLineTrace::~TLineTrace() {
    if (FFile != nullptr) std::fclose(FFile);
}

std::shared_ptr<TLineTrace> TLineTrace::Section() const {
    return std::shared_ptr<TLineTrace>(new TLineTrace(FStart));
}

void TLineTrace::Append(TLineTrace& section) {
    std::string held;
    {
        std::lock_guard lock(section.FMutex);
        held.swap(section.FHeld);
    }
    std::lock_guard lock(FMutex);
    Write(held.c_str());
}

void TLineTrace::Write(const char* text) {
    if (FFile != nullptr) {
        std::fputs(text, FFile);
    } else {
        FHeld += text;
    }
}

std::shared_ptr<TLineTrace> TLineTrace::Open(const std::string& path) {
    std::FILE* file = OpenFile(path, "w");
    if (file == nullptr) throw std::system_error(errno, std::generic_category(), path);
    return std::make_shared<TLineTrace>(file);
}

std::shared_ptr<TLineTrace> TLineTrace::Sibling(const std::string& path) const {
    std::shared_ptr<TLineTrace> trace = Open(path);
    trace->FStart = FStart;
    return trace;
}

std::string TLineTrace::CharacterName(std::uint8_t byte) {
    if (byte < 32) return kControlNames[byte];
    if (byte == ' ') return "SP";
    if (byte == 0x7F) return "DEL";
    if (byte > 0x7F) return "--";
    return std::string(1, static_cast<char>(byte));
}

double TLineTrace::Millis() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - FStart).count();
}

void TLineTrace::Line(const char* direction, std::uint8_t byte, double ms) {
    char line[64];
    std::snprintf(line, sizeof line, "%10.3f %s %02X %s\n", ms, direction, byte,
                  CharacterName(byte).c_str());
    Write(line);
}

void TLineTrace::Sent(std::uint8_t byte) {
    std::lock_guard lock(FMutex);
    Line("TX", byte, Millis());
}

void TLineTrace::Received(const void* data, std::size_t count) {
    std::lock_guard lock(FMutex);
    const double ms = Millis();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < count; ++i) Line("RX", bytes[i], ms);
}

void TLineTrace::Note(const std::string& text) {
    char time[32];
    std::snprintf(time, sizeof time, "# %10.3f ", Millis());
    std::lock_guard lock(FMutex);
    Write((time + text + "\n").c_str());
}

void SetDefaultLineTrace(std::shared_ptr<TLineTrace> trace) {
    std::lock_guard lock(gDefaultMutex);
    gDefault = std::move(trace);
}

std::shared_ptr<TLineTrace> DefaultLineTrace() {
    std::lock_guard lock(gDefaultMutex);
    return gDefault;
}

}  // namespace corvane
