#pragma once

#include <cstddef>
#include <string>

namespace corvane::device {

// What received bytes go through on their way from the terminal driver into
// the port's input queue, for the line settings that the driver does not
// carry out itself:
//
//  - With parity checking on, the driver marks each byte received with an
//    error as 0xFF 0x00 byte (and doubles a good 0xFF); the marks are taken
//    out again, and the marked byte is replaced by the error character when
//    replacement is on, or kept as received.
//  - With DiscardNull, NUL bytes are dropped.
//  - The event character is noticed among the bytes that are queued.
//
// A mark may be split between two reads; the filter remembers where it was.
class TRxFilter {
public:
    struct TSettings {
        bool Marks = false;  // the driver marks errors (parity checking on)
        bool ReplaceErrors = false;
        char ErrorChar = 0;
        bool DiscardNull = false;
        char EventChar = 0;
    };
    struct TResult {
        std::size_t Queued = 0;  // bytes appended to the queue
        bool EventChar = false;  // the event character was among them
        bool Error = false;      // a byte marked as received with an error
    };

    // Takes effect with the next byte. Turning the marks off forgets a mark
    // cut in two.
    void Configure(const TSettings& Settings);
    const TSettings& Settings() const { return FSettings; }
    // Appends what `Data` yields to `Queue`.
    TResult Feed(const char* Data, std::size_t Size, std::string& Queue);
    // After the input was discarded: a mark cut in two is forgotten.
    void Reset() { FState = TState::Plain; }

private:
    enum class TState { Plain, Escape, Marked };
    void Emit(char Ch, std::string& Queue, TResult& Result) const;

    TSettings FSettings;
    TState FState = TState::Plain;
};

}  // namespace corvane::device
