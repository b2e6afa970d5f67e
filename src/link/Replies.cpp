#include "Replies.h"

#include "Protocol.h"

namespace corvane::protocol {

bool IsGreeting(const std::string& greeting) {
    return Contains(greeting, kKeyword);
}

bool NamesFamily2051(const std::string& greeting) {
    return Contains(greeting, "2051");
}

TChipAnswer ReadChipAnswer(const std::string& reply) {
    TChipAnswer answer;
    if (reply.size() > 1) answer.Code = reply.substr(1, 2);
    answer.Whole = answer.Code.size() == 2 && reply.find(kPrompt, 3) != std::string::npos;
    answer.Kind = LookupChipCode(answer.Code);
    return answer;
}

bool SaysErased(const std::string& reply) {
    if (!Contains(reply, "ok")) return false;
    const std::size_t comma = reply.find(',');
    const std::size_t at = comma == std::string::npos ? 0 : comma + 1;
    return at < reply.size() && reply[at] == '0';
}

std::optional<std::uint16_t> ReadChecksum(const std::string& reply) {
    const std::size_t equals = reply.find('=');
    const std::size_t start = equals == std::string::npos ? 1 : equals + 2;
    if (start >= reply.size()) return std::nullopt;
    unsigned value = 0;
    for (char c : reply.substr(start, 4)) {
        const int d = HexDigit(static_cast<std::uint8_t>(c));
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return static_cast<std::uint16_t>(value);
}

TSocketSays ReadSocket(const std::string& greeting, const std::string& chipReply, TChipKind& kind) {
    if (!IsGreeting(greeting)) return TSocketSays::Silent;
    const TChipAnswer answer = ReadChipAnswer(chipReply);
    if (!answer.Whole) return TSocketSays::Unknown;
    kind = answer.Kind;
    return kind == ckNone ? TSocketSays::NoChip : TSocketSays::Chip;
}

}  // namespace corvane::protocol
