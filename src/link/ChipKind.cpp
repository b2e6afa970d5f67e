#include "ChipKind.h"

#include <string_view>

namespace corvane {

std::string ChipLabel(TChipKind kind) {
    switch (kind) {
        case ck89C51:
            return "89C51";
        case ck89LV51:
            return "89LV51";
        case ck89C52:
            return "89C52";
        case ck89LV52:
            return "89LV52";
        case ck89C55:
            return "89C55";
        case ck89LV55:
            return "89LV55";
        case ck89C2051:
            return "89C2051/4051";
        case ckNone:
            break;
    }
    return "";
}

TChipKind LookupChipCode(const std::string& code) {
    if (code.empty()) return ckNone;
    std::string_view table(kChipCodeTable);
    std::size_t pos = table.find(code);
    // An odd position counted from 1 (even from 0) starts a code; any other
    // match straddles two codes.
    if (pos == std::string_view::npos || pos % 2 != 0) return ckNone;
    return static_cast<TChipKind>(pos / 2 + 1);
}

std::uint16_t ChipMemSize(TChipKind kind) {
    switch (kind) {
        case ck89C51:
        case ck89LV51:
            return 4096;
        case ck89C52:
        case ck89LV52:
            return 8192;
        case ck89C55:
        case ck89LV55:
            return 20480;
        case ckNone:
        case ck89C2051:
            break;
    }
    return 0;
}

}  // namespace corvane
