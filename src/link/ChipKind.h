#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// The chip identified in the programmer's socket.
enum TChipKind : std::uint8_t {
    ckNone,
    ck89C51,
    ck89LV51,
    ck89C52,
    ck89LV52,
    ck89C55,
    ck89LV55,
    ck89C2051
};

// The codes the programmer gives for kinds 1 to 6, laid end to end: the code
// of kind n sits at positions 2n - 1 and 2n (counted from 1).
inline constexpr char kChipCodeTable[] = "516152625565";

// The name the window shows for a kind; empty for ckNone.
std::string ChipLabel(TChipKind kind);

// The kind whose code starts at the first occurrence of `code` in the code
// table. Not found, an empty code and a match that straddles two codes give
// ckNone. ck89C2051 never comes from here: the greeting names it.
TChipKind LookupChipCode(const std::string& code);

// Code memory size in bytes for kinds 1 to 6; 0 for ckNone and ck89C2051,
// whose size is not fixed by the kind.
std::uint16_t ChipMemSize(TChipKind kind);

// Code memory size of a 2051/4051 for the "Code Memory" item index
// (0 = "2KB", 1 = "4KB").
inline std::uint16_t MemSizeForIndex(int index) {
    return static_cast<std::uint16_t>((index + 1) * 2048);
}

}  // namespace corvane
