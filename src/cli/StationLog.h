#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

#include "FileAppend.h"

// The log of a production station: one CSV row (RFC 4180) per chip.
namespace corvane::cli {

struct TStationRow {
    std::chrono::system_clock::time_point Time;  // when the chip's programming began
    std::string Port;
    std::string Chip;
    std::string File;      // the HEX file's name as given
    std::string Checksum;  // the file's, as the board's checksum command gives it
    std::string Serial;    // empty without serial numbers
    std::string Result;    // "Complete!" or the failure
    int Status = 0;        // the exit status that chip alone would give
    double Seconds = 0;
};

// A field as CSV writes it: in double quotes, each one inside doubled, when
// it holds a comma, a quote or a line end; as it is otherwise.
std::string CsvField(std::string_view text);

// The local date and time in ISO 8601 with the offset from UTC, such as
// 2026-12-07T19:05:03+01:00.
std::string LocalTimeText(std::chrono::system_clock::time_point time);

// The log, open for the station's whole run: rows from any thread, each
// written in one piece and flushed to the disk before Append returns; a new
// (or empty) file gets the header first. Never truncated.
class TStationLog {
public:
    // Raises std::runtime_error naming the file and why it cannot be written.
    explicit TStationLog(const std::string& path);

    // Raises std::runtime_error when the row cannot be written.
    void Append(const TStationRow& row);

    const std::string& Path() const { return FPath; }

private:
    void Write(const std::string& text);

    std::string FPath;
    std::mutex FMutex;
    TAppendFile FFile;
};

}  // namespace corvane::cli
