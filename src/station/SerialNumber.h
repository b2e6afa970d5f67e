#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Serial numbers that a production station writes into each chip it
// programs: their form in the flash, and the series that hands them out.
namespace corvane::station {

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
    // The number that `bytes` (as Bytes() lays it out) hold; nothing when
    // they hold none.
    std::optional<std::uint64_t> Number(const std::vector<std::uint8_t>& bytes) const;
    // Its name as the command line and the log give it: "le16", "ascii:6".
    std::string Name() const;
};

// "le16", "be16", "le32", "be32" or "ascii:N" (N from 1 to 10); nothing for
// anything else.
std::optional<TSerialFormat> ParseSerialFormat(const std::string& text);

// A number in decimal, or in hexadecimal with 0x; nothing when it is not one
// or exceeds `max`.
std::optional<std::uint64_t> ParseSerialValue(const std::string& text, std::uint64_t max);

// The series: each number is handed out once, under a lock, to the board
// that asks, when a chip's work begins. The number is in that chip from the
// first byte of its write pass on, and is used whatever the chip's result;
// it goes back (the next chip gets it) only when no byte was written. A
// number that an erased chip holds (every byte FF) is never handed out, nor
// one that `logged` holds (the log is the record of the numbers in chips).
// The state (the next number and those given back) is kept in a file,
// replaced durably each time a number is handed out (before the chip is
// touched) or given back, so that a station started again continues the
// series: a number out with a chip when the station ended abruptly may be in
// that chip, and is not handed out again. Safe from any thread.
class TSerialSeries {
public:
    // Continues the series of `stateFile` when it exists and is not behind
    // `start`; otherwise the series begins at `start`, and a `start` among the
    // logged numbers goes on after the largest (MovedPast() says so). Writes
    // the state file at once, so that one that cannot be written is known
    // before any chip. Raises std::runtime_error with the file's name and why.
    TSerialSeries(std::string stateFile, std::uint64_t start, const TSerialFormat& format,
                  std::set<std::uint64_t> logged = {});

    // The next number for a chip; nothing when the series is used up. Raises
    // std::runtime_error when the state file cannot be written (the number
    // is then not handed out).
    std::optional<std::uint64_t> Take();
    // The number the next Take() would give (nothing: used up).
    std::optional<std::uint64_t> Next() const;
    // The chip that got `number` has had bytes written: it keeps it.
    void Used(std::uint64_t number);
    // No byte of the chip that got `number` was written: the next chip gets
    // it. Raises std::runtime_error when the state file cannot be written.
    void GiveBack(std::uint64_t number);

    // The largest logged number when the start was among the logged numbers
    // and the series goes on after it.
    std::optional<std::uint64_t> MovedPast() const { return FMovedPast; }
    const std::string& StateFile() const { return FStateFile; }

private:
    void Save();  // with the lock held; raises std::runtime_error
    // Whether `number` may go into a chip.
    bool Free(std::uint64_t number) const;

    mutable std::mutex FMutex;
    std::string FStateFile;
    TSerialFormat FFormat;
    std::set<std::uint64_t> FLogged;
    std::optional<std::uint64_t> FMovedPast;
    std::uint64_t FNext = 0;  // the lowest number never handed out
    std::set<std::uint64_t> FGivenBack;
    std::set<std::uint64_t> FOut;  // handed out, the chip not yet done
};

}  // namespace corvane::station
