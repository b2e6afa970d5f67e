#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// A file that records are added to at its end, each on disk before Append
// returns, for a log that a crash or a pulled plug must not cut short. It is
// never truncated. While open it is held for this process alone: a second
// opener (another process) is refused, so two writers never interleave.
// Errors raise EInOutError with the system's message.
class TAppendFile {
public:
    explicit TAppendFile(const std::string& fileName);
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // The file's size when it was opened (0: new or empty).
    std::uint64_t InitialSize() const { return FInitialSize; }
    // Whether the file, when opened, ended in a line end (or was empty).
    bool EndedInLineEnd() const { return FEndedInLineEnd; }

    // Writes `text` at the end in one piece and flushes it to the disk. When
    // it cannot be written whole (a full disk), the file is cut back to where
    // it ended before, so no record is left half written, and the error is
    // raised.
    void Append(std::string_view text);

private:
    std::intptr_t FHandle = -1;
    std::uint64_t FInitialSize = 0;
    bool FEndedInLineEnd = true;
};

}  // namespace corvane
