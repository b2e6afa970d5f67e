#include "UHexFile.h"

#include <cstdio>
#include <ctime>
#include <new>
#include <optional>
#include <string_view>

#include "FileReplace.h"
#include "TextFile.h"

namespace corvane {

namespace {

std::string Format(const char* pattern, unsigned long a) {
    char buf[128];
    std::snprintf(buf, sizeof buf, pattern, a);
    return buf;
}

[[noreturn]] void RaiseLine(const char* pattern, unsigned line) {
    throw EHexFile(Format(pattern, line));
}

// A field converted on its own as a hexadecimal number; nullopt when it is
// empty or holds anything but hexadecimal digits.
std::optional<unsigned> HexField(std::string_view line, std::size_t pos, std::size_t len) {
    if (pos >= line.size()) return std::nullopt;
    std::string_view s = line.substr(pos, len);
    if (s.empty()) return std::nullopt;
    unsigned v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return std::nullopt;
        }
        v = v * 16 + d;
    }
    return v;
}

constexpr char kDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& out, unsigned v) {
    out.push_back(kDigits[(v >> 4) & 0xF]);
    out.push_back(kDigits[v & 0xF]);
}

// What a file read as HEX text holds besides text.
enum class TTextKind {
    Text,      // printable characters, tabs, line and page ends, UTF-8
    NotUtf8,   // bytes beyond ASCII that are not UTF-8 (a code page's letters, or binary)
    Controls,  // control characters: no editor writes them into text
};

TTextKind Classify(std::string_view text) {
    bool utf8 = true;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r')
            return TTextKind::Controls;
        const std::size_t length = c < 0x80                 ? 1
                                   : c >= 0xC2 && c <= 0xDF ? 2
                                   : c >= 0xE0 && c <= 0xEF ? 3
                                   : c >= 0xF0 && c <= 0xF4 ? 4
                                                            : 0;
        bool whole = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; whole && k < length; ++k) {
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (!whole) utf8 = false;
        i += whole ? length : 1;
    }
    return utf8 ? TTextKind::Text : TTextKind::NotUtf8;
}

std::string Timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%d/%m/%y %H:%M:%S", &local);
    return buf;
}

}  // namespace

void THexFile::Fill(std::uint8_t Value) {
    for (auto& b : FData) b = Value;
}

void THexFile::Clear() {
    Fill(0xFF);
}

std::uint8_t THexFile::GetByte(std::uint16_t Address) const {
    if (Address >= FMemSize) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "Exceed Memory Size[Target:%X Size:%X]", Address, FMemSize);
        throw EHexFile(buf);
    }
    return FData[Address];
}

void THexFile::SetByte(std::uint16_t Address, std::uint8_t Value) {
    if (Address >= FMemSize) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "Exceed Memory Size[Target:%X Size:%X]", Address, FMemSize);
        throw EHexFile(buf);
    }
    FData[Address] = Value;
}

void THexFile::SetMemSize(std::uint16_t NewSize) {
    try {
        FData.resize(NewSize, 0x00);
        if (NewSize == 0) FData.shrink_to_fit();
    } catch (const std::bad_alloc&) {
        throw EHexFile(Format("Cannot set new memory size to %lu", NewSize));
    } catch (const std::length_error&) {
        throw EHexFile(Format("Cannot set new memory size to %lu", NewSize));
    }
    FMemSize = NewSize;
}

bool THexFile::LoadHex(const std::string& FileName) {
    std::string text = ReadWholeFile(FileName);
    LoadHexText(text);
    return true;
}

void THexFile::LoadHexText(const std::string& text) {
    Clear();
    // Ctrl+Z ends the file.
    std::string_view rest(text);
    if (auto eof = rest.find('\x1A'); eof != std::string_view::npos) rest = rest.substr(0, eof);

    // A raw binary image under a HEX file's name would load nothing or fail
    // at a line that means nothing to its user; a HEX file with a stray
    // control character in it still loads.
    const TTextKind kind = Classify(rest);
    unsigned loaded = 0;
    try {
        LoadRecords(rest, loaded);
    } catch (const EHexFile&) {
        if (loaded == 0 && kind == TTextKind::Controls) throw ENotHexText();
        throw;
    }
    if (loaded == 0 && kind != TTextKind::Text) throw ENotHexText();
}

void THexFile::LoadRecords(std::string_view rest, unsigned& loaded) {
    unsigned lineNo = 0;
    while (!rest.empty()) {
        // CR LF, CR alone and LF alone each end one line.
        std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        if (end == std::string_view::npos) {
            rest = {};
        } else {
            std::size_t skip =
                (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') ? 2 : 1;
            rest = rest.substr(end + skip);
        }
        ++lineNo;
        if (line.empty() || line[0] != ':') continue;

        auto field = [&](std::size_t pos, std::size_t len) {
            auto v = HexField(line, pos, len);
            if (!v) RaiseLine("Invalid Data at Line:%u", lineNo);
            return *v;
        };

        unsigned sum = 0;
        const unsigned count = field(1, 2);
        sum += count;
        if (line.size() < 11 + 2 * static_cast<std::size_t>(count))
            RaiseLine("Incomplete data at Line:%u", lineNo);
        const unsigned address = field(3, 4);
        sum += (address >> 8) + (address & 0xFF);
        const unsigned type = field(7, 2);
        sum += type;
        unsigned checksum;
        if (type == 0x00) {
            for (unsigned i = 0; i < count; ++i) {
                const unsigned value = field(9 + 2 * i, 2);
                sum += value;
                SetByte(static_cast<std::uint16_t>(address + i), static_cast<std::uint8_t>(value));
            }
            checksum = field(9 + 2 * count, 2);
        } else if (type == 0x01) {
            checksum = field(9, 2);
        } else {
            RaiseLine("Non subport block type at line:%u", lineNo);
        }
        if ((sum + checksum) % 256 != 0) RaiseLine("Checksum error at line:%u", lineNo);
        ++loaded;
    }
}

std::string THexFile::HexText(const std::string& timestamp) const {
    std::string out;
    out.reserve(FData.size() * 2 + FData.size() / FRecordSize * 13 + 64);
    out += ";Created by Corvane : ";
    out += timestamp;
    out += "\r\n";
    const std::size_t size = FData.size();
    for (std::size_t start = 0; start < size; start += FRecordSize) {
        const std::size_t n = std::min<std::size_t>(FRecordSize, size - start);
        unsigned sum = static_cast<unsigned>(n) + ((start >> 8) & 0xFF) + (start & 0xFF);
        out += ':';
        AppendHexByte(out, static_cast<unsigned>(n));
        AppendHexByte(out, static_cast<unsigned>(start >> 8));
        AppendHexByte(out, static_cast<unsigned>(start));
        out += "00";
        for (std::size_t i = 0; i < n; ++i) {
            sum += FData[start + i];
            AppendHexByte(out, FData[start + i]);
        }
        AppendHexByte(out, (0x100 - (sum & 0xFF)) & 0xFF);
        out += "\r\n";
    }
    out += ":00000001FF\r\n";
    return out;
}

bool THexFile::SaveHex(const std::string& FileName) const {
    ReplaceFileContents(FileName, HexText(Timestamp()));
    return true;
}

}  // namespace corvane
