#include "SerialNumber.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <stdexcept>

#include "DurableFile.h"
#include "Exception.h"
#include "TextFile.h"

namespace corvane::station {

int TSerialFormat::Width() const {
    switch (Kind) {
        case TKind::Le16:
        case TKind::Be16:
            return 2;
        case TKind::Le32:
        case TKind::Be32:
            return 4;
        case TKind::Ascii:
            return Digits;
    }
    return 0;
}

std::uint64_t TSerialFormat::Max() const {
    if (Kind == TKind::Ascii) {
        std::uint64_t max = 1;
        for (int i = 0; i < Digits; ++i) max *= 10;
        return max - 1;
    }
    return Width() == 2 ? 0xFFFF : 0xFFFFFFFF;
}

std::vector<std::uint8_t> TSerialFormat::Bytes(std::uint64_t number) const {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(Width()));
    if (Kind == TKind::Ascii) {
        for (auto at = bytes.rbegin(); at != bytes.rend(); ++at, number /= 10) {
            *at = static_cast<std::uint8_t>('0' + number % 10);
        }
        return bytes;
    }
    const bool little = Kind == TKind::Le16 || Kind == TKind::Le32;
    for (std::size_t i = 0; i < bytes.size(); ++i, number >>= 8) {
        bytes[little ? i : bytes.size() - 1 - i] = static_cast<std::uint8_t>(number & 0xFF);
    }
    return bytes;
}

std::optional<std::uint64_t> TSerialFormat::Number(const std::vector<std::uint8_t>& bytes) const {
    if (bytes.size() != static_cast<std::size_t>(Width())) return std::nullopt;
    std::uint64_t number = 0;
    if (Kind == TKind::Ascii) {
        for (std::uint8_t b : bytes) {
            if (b < '0' || b > '9') return std::nullopt;
            number = number * 10 + (b - '0');
        }
        return number;
    }
    const bool little = Kind == TKind::Le16 || Kind == TKind::Le32;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        number = number << 8 | bytes[little ? bytes.size() - 1 - i : i];
    }
    return number;
}

std::string TSerialFormat::Name() const {
    switch (Kind) {
        case TKind::Le16:
            return "le16";
        case TKind::Be16:
            return "be16";
        case TKind::Le32:
            return "le32";
        case TKind::Be32:
            return "be32";
        case TKind::Ascii:
            break;
    }
    return "ascii:" + std::to_string(Digits);
}

std::optional<TSerialFormat> ParseSerialFormat(const std::string& text) {
    using TKind = TSerialFormat::TKind;
    if (text == "le16") return TSerialFormat{TKind::Le16};
    if (text == "be16") return TSerialFormat{TKind::Be16};
    if (text == "le32") return TSerialFormat{TKind::Le32};
    if (text == "be32") return TSerialFormat{TKind::Be32};
    if (text.rfind("ascii:", 0) == 0) {
        const auto digits = ParseSerialValue(text.substr(6), 10);
        if (digits && *digits >= 1 && text.size() > 6 && text[6] != '0') {
            return TSerialFormat{TKind::Ascii, static_cast<int>(*digits)};
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> ParseSerialValue(const std::string& text, std::uint64_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (first == last || ec != std::errc() || end != last || value > max) return std::nullopt;
    return value;
}

TSerialSeries::TSerialSeries(std::string stateFile, std::uint64_t start,
                             const TSerialFormat& format, std::set<std::uint64_t> logged)
    : FStateFile(std::move(stateFile)), FFormat(format), FLogged(std::move(logged)), FNext(start) {
    std::string text;
    try {
        if (ReadTextFile(FStateFile, text)) {
            std::istringstream lines(text);
            std::uint64_t next = 0;
            std::set<std::uint64_t> givenBack;
            bool haveNext = false;
            for (std::string word; lines >> word;) {
                if (word == "next") {
                    haveNext = static_cast<bool>(lines >> next);
                } else if (word == "free") {
                    std::string rest;
                    std::getline(lines, rest);
                    std::istringstream numbers(rest);
                    for (std::uint64_t n = 0; numbers >> n;) givenBack.insert(n);
                } else if (word[0] == '#') {
                    std::string comment;
                    std::getline(lines, comment);
                } else {
                    haveNext = false;
                    break;
                }
            }
            if (!haveNext) throw std::runtime_error("not a state file of serial numbers");
            // A start beyond the series begins a new one from there.
            if (next >= start) {
                FNext = next;
                for (std::uint64_t n : givenBack) {
                    if (n >= start && n < next) FGivenBack.insert(n);
                }
            }
        }
    } catch (const std::exception& e) {
        throw std::runtime_error(FStateFile + ": " + e.what());
    }
    // The log holds what is in chips, whatever the state file says (it may be
    // lost, or belong to another folder).
    if (!FLogged.empty() && *FLogged.begin() <= FNext && FNext <= *FLogged.rbegin()) {
        FMovedPast = *FLogged.rbegin();
        FNext = *FMovedPast + 1;
    }
    std::erase_if(FGivenBack, [this](std::uint64_t n) { return !Free(n); });
    std::lock_guard lock(FMutex);
    Save();
}

bool TSerialSeries::Free(std::uint64_t number) const {
    if (number > FFormat.Max() || FLogged.contains(number)) return false;
    // An erased chip holds FF in every byte: that number could not be told
    // from no number, and writing it writes nothing.
    const auto bytes = FFormat.Bytes(number);
    return std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0xFF; });
}

std::optional<std::uint64_t> TSerialSeries::Take() {
    std::lock_guard lock(FMutex);
    const auto givenBack = FGivenBack;
    const std::uint64_t next = FNext;
    std::optional<std::uint64_t> number;
    if (!FGivenBack.empty()) {
        number = *FGivenBack.begin();
        FGivenBack.erase(FGivenBack.begin());
    } else {
        while (FNext <= FFormat.Max() && !Free(FNext)) ++FNext;
        if (FNext > FFormat.Max()) return std::nullopt;
        number = FNext++;
    }
    try {
        Save();
    } catch (...) {
        FGivenBack = givenBack;
        FNext = next;
        throw;
    }
    FOut.insert(*number);
    return number;
}

std::optional<std::uint64_t> TSerialSeries::Next() const {
    std::lock_guard lock(FMutex);
    if (!FGivenBack.empty()) return *FGivenBack.begin();
    std::uint64_t next = FNext;
    while (next <= FFormat.Max() && !Free(next)) ++next;
    if (next > FFormat.Max()) return std::nullopt;
    return next;
}

void TSerialSeries::Used(std::uint64_t number) {
    std::lock_guard lock(FMutex);
    FOut.erase(number);
}

void TSerialSeries::GiveBack(std::uint64_t number) {
    std::lock_guard lock(FMutex);
    if (FOut.erase(number) == 0) return;
    FGivenBack.insert(number);
    Save();
}

void TSerialSeries::Save() {
    std::string text = "# corvane station: the serial numbers still to hand out\nnext " +
                       std::to_string(FNext) + "\nfree";
    for (std::uint64_t n : FGivenBack) text += " " + std::to_string(n);
    try {
        ReplaceDurably(FStateFile, text + "\n");
    } catch (const std::exception& e) {
        throw std::runtime_error(FStateFile + ": " + e.what());
    }
}

}  // namespace corvane::station
