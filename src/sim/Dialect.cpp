#include "Dialect.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace corvane::sim {

namespace {

// Draws by plain modulo of the 64-bit engine, whose output the standard
// fixes, so that a seed names the same dialect everywhere.
class Pick {
public:
    explicit Pick(std::uint64_t seed) : FEngine(seed) {}
    template <typename T>
    T From(std::initializer_list<T> pool) {
        return pool.begin()[FEngine() % pool.size()];
    }
    std::string From(std::initializer_list<const char*> pool) {
        return pool.begin()[FEngine() % pool.size()];
    }
    bool OneIn(unsigned n) { return FEngine() % n == 0; }

private:
    std::mt19937_64 FEngine;
};

std::string Shown(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return "\"" + out + "\"";
}

std::atomic<bool> gDefaultSet{false};
std::atomic<std::uint64_t> gDefaultSeed{0};

}  // namespace

std::string Dialect::ChipText(std::string_view code, bool blank) const {
    if (code == "00") code = emptyCode;
    return chipLead + std::string(code) + afterCode + "," + (blank ? '0' : notBlank) + afterStatus;
}

std::string Dialect::SumText(std::uint16_t value) const {
    char digits[8];
    std::snprintf(digits, sizeof digits, lowerHex ? "%04x" : "%04X", static_cast<unsigned>(value));
    return sumLead + sumGap + digits + sumAfter;
}

std::string Dialect::Hex2(std::uint8_t byte) const {
    static constexpr char kUpper[] = "0123456789ABCDEF";
    static constexpr char kLower[] = "0123456789abcdef";
    const char* digits = lowerHex ? kLower : kUpper;
    return {digits[byte >> 4], digits[byte & 15]};
}

std::string Dialect::Describe() const {
    std::string text = "dialect " + std::to_string(seed) + ":";
    const auto add = [&](const char* what, const std::string& reply) {
        text += std::string(" ") + what + " " + Shown(reply) + ";";
    };
    add("greeting", Greeting(false) + Ending(kGreeting));
    add("2051 greeting", Greeting(true) + Ending(kGreeting));
    add("p", ChipText("52", false) + Ending(kChip));
    add("empty p", ChipText("00", false) + Ending(kChip));
    add("e", eraseOk + Ending(kErase));
    add("failed e", eraseFailed + Ending(kErase));
    add("no chip", noChip + Ending(kErase));
    add("s", echoCount ? "s\x11" : "\x11");
    add("count", countOk + Ending(kCount));
    add("bad count", countBad + Ending(kCount));
    add("w", writeLead + "w");
    add("pass end", Ending(kPass));
    add("r", "r" + Hex2(0xAB) + Ending(kDump));
    add("c", SumText(0xFF64) + Ending(kSum));
    add("l", lockOk + Ending(kLock));
    text += " in " + std::to_string(bursts) + (bursts == 1 ? " piece" : " bursts");
    return text;
}

Dialect DrawDialect(std::uint64_t seed) {
    Dialect d;
    if (seed == 0) return d;
    d.seed = seed;
    Pick pick(seed * 0x9E3779B97F4A7C15ULL + 0xD1A1EC7ULL);
    // Some boards echo the command letter before their text.
    const bool echo = pick.OneIn(4);
    const std::string lead = pick.From({"", "\r\n", "\n", "\r", " ", "\r\n"});
    const auto start = [&](char command) { return (echo ? std::string(1, command) : "") + lead; };

    const std::string before = pick.From({"", "", "*** ", "Welcome to ", "(c) 1998 "});
    const std::string keyword =
        pick.From({"Yarv Programmer", "Yarv", "YARV/Yarv ISP", "Yarv-Prog", "Yarv programmer"});
    const std::string gap = pick.From({" ", "\r\n", "\n", " - "});
    const std::string version = pick.From({"v1.3", "V2.01", "rev 7", "ready", "fw 0.9b"});
    // A board just reset may send a NUL first.
    const std::string first = (pick.OneIn(6) ? std::string(1, '\0') : "") + start('\r');
    d.greeting = first + before + keyword + gap + version;
    switch (pick.From({0, 1, 2})) {
        case 0:
            d.greeting2051 = first + before + keyword + " 2051" + gap + version;
            break;
        case 1:
            d.greeting2051 = first + "AT89C2051/4051 " + before + keyword + gap + version;
            break;
        default:
            d.greeting2051 = d.greeting + " for 2051/4051";
            break;
    }

    d.chipLead = pick.From({'p', 'p', 'P', '#', ' ', '\n', '\r', ':', '*', '0'});
    d.afterCode = pick.From({"", "", " ", "h", " chip", "/", "-"});
    d.notBlank = pick.From({'1', '1', 'F', '9'});
    d.emptyCode = pick.From({"00", "00", "--", "  ", "FF", "??", "xx"});
    d.afterStatus = pick.From({" ", ",", ";", " - ", "\t", ", "}) +
                    pick.From({"ok", "ok.", "[ok]", "ok!", "(ok)", "ok"}) +
                    pick.From({"", "", " ", " done", ";"});

    // Failure texts never hold "ok" (no "broken", no "token").
    d.eraseOk = start('e') + pick.From({"erase ok", "ok", "Erase: ok", "erased ok", "done, ok"});
    d.eraseFailed = start('e') + pick.From({"erase failed", "ERROR", "fail", "Erase error",
                                            "not erased!", "E!"});
    d.noChip = start('e') + pick.From({"no chip", "empty socket", "insert chip", "no device", "?"});
    d.countOk = start('\n') + pick.From({"ok", "count ok", "ok.", "n=ok"});
    d.countBad = start('\n') + pick.From({"bad count", "err", "out of range", "?", "count error"});
    d.sumLead = start('c') + pick.From({"Sum", "sum", "Checksum", "CS", "chk"}) + "=";
    d.sumGap = pick.From({' ', ' ', ':', '$', '='});
    d.sumAfter = pick.From({"", "", "h", " ok"});
    d.lockOk = start('l') + pick.From({"lock ok", "locked", "L", "lock: done", "ok"});
    d.writeLead = pick.From({"", "", "\r\n", "\n", " "});
    d.echoCount = pick.OneIn(3);
    d.lowerHex = pick.OneIn(3);

    // One line end for the board; now and then a reply of its own kind.
    const auto lineEnd = [&] { return pick.From({"", "\r", "\n", "\r\n"}); };
    const std::string board = lineEnd();
    for (auto& end : d.ends) end = pick.OneIn(3) ? lineEnd() : board;
    d.passText = pick.From({"", "", "", "done", "ok", "\r\nEnd"});
    d.promptText = pick.From({"", "", "", "ready ", "cmd", "\r\n"});
    d.bursts = pick.From({1u, 1u, 2u, 3u, 4u});
    return d;
}

std::uint64_t DefaultDialectSeed() {
    if (gDefaultSet) return gDefaultSeed;
    const char* text = std::getenv(kDialectVariable);
    std::uint64_t seed = 0;
    if (text != nullptr) std::from_chars(text, text + std::char_traits<char>::length(text), seed);
    return seed;
}

void SetDefaultDialect(std::uint64_t seed) {
    gDefaultSeed = seed;
    gDefaultSet = true;
    setenv(kDialectVariable, std::to_string(seed).c_str(), 1);
}

}  // namespace corvane::sim
