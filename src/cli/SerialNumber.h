#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Serial numbers that a production station writes into each chip it
// programs: their form in the flash, and the series that hands them out.
namespace corvane::cli {

// How a number is laid out in the flash.
struct TSerialFormat {
    enum class TKind { Le16, Be16, Le32, Be32, Ascii } Kind = TKind::Le16;
    int Digits = 0;  // Ascii: this many decimal digits, with leading zeros

    // The bytes it takes in the flash.
    int Width() const;
    // The highest number it holds.
    std::uint64_t Max() const;
    // `number` (at most Max()) as it goes into the flash.
    std::vector<std::uint8_t> Bytes(std::uint64_t number) const;
};

// "le16", "be16", "le32", "be32" or "ascii:N" (N from 1 to 10); nothing for
// anything else.
std::optional<TSerialFormat> ParseSerialFormat(const std::string& text);

// A number in decimal, or in hexadecimal with 0x; nothing when it is not one
// or exceeds `max`.
std::optional<std::uint64_t> ParseSerialValue(const std::string& text, std::uint64_t max);

// The series: each number is handed out once, under a lock, to the board
// that asks; a chip that passes keeps it, a chip that fails gives it back and
// the next chip gets it. Its state (the next number and those given back) is
// kept in a file, replaced whole each time a number is handed out (before the
// chip is touched) or given back, so that a station started again continues
// the series and never hands out a number twice: a number out with a chip
// when the station ended abruptly may be in that chip, and is not handed out
// again. Safe from any thread.
class TSerialSeries {
public:
    // Continues the series of `stateFile` when it exists and is not behind
    // `start`; otherwise the series begins at `start`. Writes the state file
    // at once, so that one that cannot be written is known before any chip.
    // Raises std::runtime_error with the file's name and why.
    TSerialSeries(std::string stateFile, std::uint64_t start, std::uint64_t max);

    // The next number for a chip; nothing when the series is used up. Raises
    // std::runtime_error when the state file cannot be written (the number
    // is then not handed out).
    std::optional<std::uint64_t> Take();
    // The chip that got `number` passed and keeps it.
    void Passed(std::uint64_t number);
    // The chip that got `number` failed: the next chip gets it. Raises
    // std::runtime_error when the state file cannot be written.
    void GiveBack(std::uint64_t number);

    const std::string& StateFile() const { return FStateFile; }

private:
    void Save();  // with the lock held; raises std::runtime_error

    std::mutex FMutex;
    std::string FStateFile;
    std::uint64_t FMax;
    std::uint64_t FNext = 0;  // the lowest number never handed out
    std::set<std::uint64_t> FGivenBack;
    std::set<std::uint64_t> FOut;  // handed out, the chip not yet done
};

}  // namespace corvane::cli
