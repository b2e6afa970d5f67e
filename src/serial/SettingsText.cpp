#include "SettingsText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>

#include "CPort.h"

namespace corvane {

namespace {

constexpr std::array<std::string_view, 16> kBaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::string_view, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> kFlowControlTexts = {"Hardware", "Software", "None",
                                                               "Custom"};
constexpr std::array<std::string_view, 3> kControlDTRTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<std::string_view, 4> kControlRTSTexts = {"Disable", "Enable", "Handshake",
                                                              "Toggle"};

// Only a to z are folded: the texts are ASCII, and bytes above 127 in a
// stored value must not match anything by accident of a locale.
unsigned char UpperAscii(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

template <typename T, std::size_t N>
std::string EnumText(const std::array<std::string_view, N>& texts, T value) {
    const auto index = static_cast<std::size_t>(value);
    // A value outside the enumeration has no text; an empty one reads back
    // as the table's default.
    return index < N ? std::string(texts[index]) : std::string();
}

template <typename T, std::size_t N>
T ParseEnum(const std::array<std::string_view, N>& texts, std::string_view text, T fallback) {
    for (std::size_t i = 0; i < N; ++i) {
        if (SameText(text, texts[i])) return static_cast<T>(i);
    }
    return fallback;
}

}  // namespace

std::string BaudRateText(TBaudRate Value) {
    return EnumText(kBaudRateTexts, Value);
}
TBaudRate ParseBaudRate(std::string_view Text) {
    return ParseEnum(kBaudRateTexts, Text, br9600);
}

std::string StopBitsText(TStopBits Value) {
    return EnumText(kStopBitsTexts, Value);
}
TStopBits ParseStopBits(std::string_view Text) {
    return ParseEnum(kStopBitsTexts, Text, sbOneStopBit);
}

std::string DataBitsText(TDataBits Value) {
    return EnumText(kDataBitsTexts, Value);
}
TDataBits ParseDataBits(std::string_view Text) {
    return ParseEnum(kDataBitsTexts, Text, dbEight);
}

std::string ParityText(TParityBits Value) {
    return EnumText(kParityTexts, Value);
}
TParityBits ParseParity(std::string_view Text) {
    return ParseEnum(kParityTexts, Text, prNone);
}

std::string FlowControlText(TFlowControl Value) {
    return EnumText(kFlowControlTexts, Value);
}
TFlowControl ParseFlowControl(std::string_view Text) {
    return ParseEnum(kFlowControlTexts, Text, fcCustom);
}

std::string ControlDTRText(TDTRFlowControl Value) {
    return EnumText(kControlDTRTexts, Value);
}
TDTRFlowControl ParseControlDTR(std::string_view Text) {
    return ParseEnum(kControlDTRTexts, Text, dtrDisable);
}

std::string ControlRTSText(TRTSFlowControl Value) {
    return EnumText(kControlRTSTexts, Value);
}
TRTSFlowControl ParseControlRTS(std::string_view Text) {
    return ParseEnum(kControlRTSTexts, Text, rtsDisable);
}

std::string YesNoText(bool Value) {
    return Value ? "Yes" : "No";
}
bool ParseYesNo(std::string_view Text) {
    return SameText(Text, "YES");
}

bool SameText(std::string_view A, std::string_view B) {
    return A.size() == B.size() && CompareText(A, B) == 0;
}

int CompareText(std::string_view A, std::string_view B) {
    const std::size_t n = std::min(A.size(), B.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char a = UpperAscii(A[i]);
        const unsigned char b = UpperAscii(B[i]);
        if (a != b) return a < b ? -1 : 1;
    }
    return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

std::string CharText(char Ch) {
    const auto code = static_cast<unsigned char>(Ch);
    if (code >= 33 && code <= 127) return std::string(1, Ch);
    return "#" + std::to_string(code);
}

char ParseChar(std::string_view Text) {
    if (Text.empty()) return '\0';
    if (Text[0] != '#' || Text.size() == 1) return Text[0];
    std::int32_t code = 0;
    if (!TryParseInteger(Text.substr(1), code)) return '\0';
    return static_cast<char>(static_cast<std::uint8_t>(static_cast<std::uint32_t>(code) & 0xFFu));
}

bool TryParseInteger(std::string_view Text, std::int32_t& Value) {
    std::size_t pos = 0;
    while (pos < Text.size() && (Text[pos] == ' ' || Text[pos] == '\t')) ++pos;
    bool negative = false;
    if (pos < Text.size() && (Text[pos] == '+' || Text[pos] == '-')) {
        negative = Text[pos] == '-';
        ++pos;
    }
    int base = 10;
    if (pos < Text.size() && Text[pos] == '$') {
        base = 16;
        ++pos;
    }
    // from_chars takes no sign of its own here, so "--5" or "$-5" stay errors.
    if (pos >= Text.size() || Text[pos] == '+' || Text[pos] == '-') return false;
    std::uint64_t magnitude = 0;
    const char* first = Text.data() + pos;
    const char* last = Text.data() + Text.size();
    auto [end, ec] = std::from_chars(first, last, magnitude, base);
    if (ec != std::errc() || end != last) return false;

    // Decimal must fit a signed 32-bit value; hexadecimal may use all 32 bits
    // and then stands for the same bits read as signed.
    const std::uint64_t limit =
        base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    if (magnitude > limit) return false;
    auto bits = static_cast<std::uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    Value = static_cast<std::int32_t>(bits);
    return true;
}

}  // namespace corvane
