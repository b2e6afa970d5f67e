#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FileAppend.h"

// The log of a production station: one CSV row (RFC 4180) per chip, made to
// be opened in a spreadsheet: UTF-8 with a byte order mark, no cell that a
// spreadsheet takes for a formula, and the hexadecimal cells (checksum,
// address) written with 0x in front, so that none becomes a number.
namespace corvane::station {

// How a chip's work ended: passed, failed, or stopped before anything was
// written (such a chip counts neither way).
enum class TChipOutcome { None, Good, Failed, Stopped };

struct TStationRow {
    std::chrono::system_clock::time_point Time;  // when the chip's programming began
    std::string Port;
    std::string Chip;
    std::string File;         // the HEX file's name as given
    std::string Checksum;     // the chip's (the file with its number), as the board's
                              // checksum command gives it
    std::string Serial;       // the number in decimal; empty without serial numbers
    std::string SerialAt;     // where it goes, "0x0FF0"
    std::string Format;       // its form in the flash, "le16"
    bool SerialUsed = false;  // in the chip (bytes were written), not given back
    std::string Result;       // "Complete!" or the failure
    int Status = 0;           // the exit status that chip alone would give
    double Seconds = 0;
    // Not cells of the log:
    bool Logged = false;  // the row is in the log
    TChipOutcome Outcome = TChipOutcome::None;
};

// A field as CSV writes it: a text that a spreadsheet would take for a
// formula (beginning with =, +, -, @, a tab or a CR) gets an apostrophe in
// front; then in double quotes, each one inside doubled, when it holds a
// comma, a quote or a line end; as it is otherwise.
std::string CsvField(std::string_view text);

// The rows of a CSV text (after a byte order mark), each a list of fields;
// a last row without its line end (cut short) is left out.
std::vector<std::vector<std::string>> ReadCsv(std::string_view text);

// The local date and time in ISO 8601 with the offset from UTC, such as
// 2026-12-07T19:05:03+01:00.
std::string LocalTimeText(std::chrono::system_clock::time_point time);

// The log, open for the station's whole run: rows from any thread, each
// written in one piece and flushed to the disk before Append returns; a new
// (or empty) file gets the byte order mark and the header first, and its
// folder is synced. A row that cannot be written whole is cut back, so the
// log always ends in a whole row; so is a row torn by a power loss, when the
// log is opened. A log that cannot be read whole (a row of another width, a
// header without the columns of the numbers) is refused.
class TStationLog {
public:
    // Raises std::runtime_error naming the file and why it cannot be written.
    explicit TStationLog(const std::string& path);

    // Raises std::runtime_error when the row cannot be written (nothing of
    // it is left in the log).
    void Append(const TStationRow& row);

    // The serial numbers that the log holds in chips, whatever their address
    // or format, as the log was when it was opened.
    const std::set<std::uint64_t>& Used() const { return FUsed; }
    // The torn last row (a power loss in the middle of an append) that the
    // opening cut back; empty when the log ended in a whole row.
    const std::string& Torn() const { return FTorn; }

    const std::string& Path() const { return FPath; }

private:
    void Write(const std::string& text);
    // Raises std::runtime_error when the log cannot be read whole.
    void ReadUsed();

    std::string FPath;
    std::string FOpened;  // the log's text when it was opened
    std::string FTorn;
    std::set<std::uint64_t> FUsed;
    std::mutex FMutex;
    TAppendFile FFile;
};

}  // namespace corvane::station
