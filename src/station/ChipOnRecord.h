#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "ChipKind.h"
#include "SerialNumber.h"
#include "UHexFile.h"

namespace corvane {
class TProgrammerLink;
}

// Whether a chip found seated when a station starts (or when a board is first
// looked at) is one that a station finished before: it holds the file, and,
// with serial numbers, one of the numbers the log says are in chips. Such a
// chip is not programmed again. The chip is looked at without writing: a
// 2051/4051 is read back, any other is asked for the board's checksums (of
// the whole file, and byte by byte at the number's place).
namespace corvane::station {

struct TRecordPlan {
    const THexFile* File = nullptr;
    std::uint32_t SerialAddress = 0;
    std::optional<TSerialFormat> SerialFormat;      // none: no serial numbers
    const std::set<std::uint64_t>* Used = nullptr;  // the numbers in chips
};

struct TOnRecord {
    enum class TVerdict {
        OnRecord,  // the file, with a number of the log's
        Other,     // anything else, read the same twice
        Unknown,   // replies lost, late or damaged: nothing can be said
    } Verdict = TVerdict::Unknown;
    std::optional<std::uint64_t> Serial;  // the chip's number (with serial numbers)
};

// What the chip holds. A lost or damaged reply must not make a finished chip
// look like another, so the chip is looked at again until two looks agree
// that it holds something else (three looks at most). `kind` is the chip's
// (the link's image sized for it).
TOnRecord ChipOnRecord(TProgrammerLink& link, TChipKind kind, const TRecordPlan& plan);

}  // namespace corvane::station
