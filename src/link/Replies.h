#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ChipKind.h"

// The board's replies, read by what the protocol fixes and nothing else:
// boards word their texts their own way (the first character of the chip
// query's reply, the words and separators around the code and around "ok",
// line ends before the prompt), so no reader here looks at those. The window's
// poll, the command line, the search of several boards and the station all
// read replies here.
namespace corvane::protocol {

// A greeting holds the keyword "Yarv"; a 2051/4051 board's also holds "2051".
bool IsGreeting(const std::string& greeting);
bool NamesFamily2051(const std::string& greeting);

// The answer to 'p': its second and third characters are the chip's code,
// and it ends in the prompt.
struct TChipAnswer {
    std::string Code;    // what stands at the code's place (shorter when the reply is)
    bool Whole = false;  // the code and a prompt after it came
    TChipKind Kind = ckNone;
};
TChipAnswer ReadChipAnswer(const std::string& reply);

// After an erase, the answer to 'p' contains "ok", and the character after its
// first ',' (the first character when there is none) is '0': the chip is blank.
bool SaysErased(const std::string& reply);

// The answer to 'c': four hexadecimal digits that begin two characters after
// the first '=' (at the second character when there is none); a reply that
// ends sooner gives what digits it has.
std::optional<std::uint16_t> ReadChecksum(const std::string& reply);

// What one look at a socket tells: the greeting and the answer to 'p' (none
// from a 2051/4051 board, which names its family and cannot tell a seated
// chip).
enum class TSocketSays {
    Silent,   // no greeting with the keyword
    Chip,     // a chip the table knows
    NoChip,   // a whole answer without a known code: an empty socket, or a
              // code damaged on the line, which reads the same
    Unknown,  // an answer cut short or lost
};
TSocketSays ReadSocket(const std::string& greeting, const std::string& chipReply, TChipKind& kind);

}  // namespace corvane::protocol
