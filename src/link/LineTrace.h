#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace corvane {

// A record of the programmer's line for bug reports: every byte the link sends
// or receives, one line each, with the time in milliseconds since the trace
// began, the direction, the byte in hexadecimal and its character:
//
//   # corvane line trace ...          (comment lines begin with '#')
//   #      0.118 open /dev/pts/3      (what happened to the port, as comments)
//         0.240 TX 0D CR
//         2.905 RX 59 Y
//
// A line that does not begin with '#' has four fields separated by blanks:
// milliseconds with three decimals, TX (host to programmer) or RX (programmer
// to host), two hexadecimal digits, and the character (a printable one as it
// is, a control character by its name such as CR, XON or XOFF, SP for the
// blank, DEL, and -- above 0x7F). A received byte carries the time the host read
// it. Lines are written as they happen, so a trace survives a hang or a kill
// (those of the ports that a search greets at once come when it ends).
class TLineTrace {
public:
    // Takes `file` (closed when the trace goes) and writes the header.
    explicit TLineTrace(std::FILE* file);
    ~TLineTrace();
    TLineTrace(const TLineTrace&) = delete;
    TLineTrace& operator=(const TLineTrace&) = delete;

    // Creates or empties the file at `path`. Raises std::system_error when it
    // cannot.
    static std::shared_ptr<TLineTrace> Open(const std::string& path);
    // Open for a trace in a file of its own that keeps this trace's clock,
    // so that the times of the two files can be laid side by side (one file
    // for each board of a run on several).
    std::shared_ptr<TLineTrace> Sibling(const std::string& path) const;

    // A trace for one thread's share of work done at once on several ports
    // (the search greets them together): its lines carry this trace's times
    // and are kept until Append adds them here in one piece, so that each
    // port's lines stay together.
    std::shared_ptr<TLineTrace> Section() const;
    void Append(TLineTrace& section);

    void Sent(std::uint8_t byte);
    void Received(const void* data, std::size_t count);
    // An event on the line (port opened, closed, purged), as a comment.
    void Note(const std::string& text);

    // The character column for `byte`.
    static std::string CharacterName(std::uint8_t byte);

private:
    using Clock = std::chrono::steady_clock;
    // A section of the trace that began at `start`.
    explicit TLineTrace(Clock::time_point start);
    void Line(const char* direction, std::uint8_t byte, double ms);
    void Write(const char* text);
    double Millis() const;

    std::mutex FMutex;  // a trace may be shared by links on different threads
    std::FILE* FFile;   // none for a section
    std::string FHeld;  // a section's lines
    Clock::time_point FStart;
};

// The trace that links created from now on record into (none by default):
// the window's start-up installs one when asked for by the environment.
void SetDefaultLineTrace(std::shared_ptr<TLineTrace> trace);
std::shared_ptr<TLineTrace> DefaultLineTrace();

}  // namespace corvane
