#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "UHexFile.h"

// The programmer's characters and the small tests on its replies and on
// images, shared by the files of the link.
namespace corvane::protocol {

inline constexpr char kXon = 17;
inline constexpr char kXoff = 19;
inline constexpr char kPrompt = '>';
// Sends nothing: only waits for what the board sends.
inline constexpr char kNoCommand = 0;
inline constexpr char kCr = '\r';
inline constexpr char kLf = '\n';

// The programmer's greeting always holds this keyword.
inline constexpr const char* kKeyword = "Yarv";

inline bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The value of a hexadecimal digit (either case); -1 for any other byte.
inline int HexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// `pattern` with `value` in place of its one %u.
inline std::string Format(const char* pattern, unsigned value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, pattern, value);
    return buf;
}

// Whether the first `count` bytes of `image` are in the erased state 0xFF.
inline bool AllErased(const THexFile& image, std::uint32_t count) {
    const auto& data = image.Data();
    for (std::uint32_t i = 0; i < count && i < data.size(); ++i) {
        if (data[i] != 0xFF) return false;
    }
    return true;
}

}  // namespace corvane::protocol
