#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// How a board words its replies. The protocol fixes only a few characters of
// each reply; real boards differ in everything else, so the virtual
// programmer draws the rest from a seed and a host is tried against many.
//
// Never drawn away (every dialect keeps these):
//   - an ordinary reply ends in the prompt '>' and holds no '>' before it, and
//     no XON or XOFF;
//   - the greeting holds "Yarv", and "2051" exactly when the board is one for
//     the 2051 family;
//   - the chip query's reply has the code at its second and third
//     characters, "ok" after it, and the status ('0' blank) right after its
//     first ',' (so the first character is neither ',' nor '>');
//   - "ok" in the erase's and the count's reply exactly when they succeeded;
//   - 's' and each digit answered by XON (an echo may come first);
//   - 'w' echoed (text without 'w' may come first), then the handshake;
//   - 'r' echoed as the first byte, then two hex digits a byte;
//   - the checksum's four hex digits two characters after its first '='.
// Drawn: the first character of the chip query's reply, the words and
// separators around the code and "ok", the code of an empty socket, the
// greeting's words around the keyword (a NUL from a reset in front), a text
// after a pass or a dump, the line end before each prompt (none, CR, LF, CR LF) and a text
// in front of it, the text before the echo of 'w', an echo of the counter's
// characters, the case of hex digits, and replies sent whole or in bursts.
namespace corvane::sim {

struct Dialect {
    // What was drawn from; 0 is the usual dialect below.
    std::uint64_t seed = 0;

    std::string greeting = "\r\nYarv Programmer v1.3";
    std::string greeting2051 = "\r\nYarv 2051 Programmer v1.3";
    // The chip query's reply: lead, code, afterCode, ',', status, afterStatus.
    char chipLead = 'p';
    std::string afterCode;
    char notBlank = '1';  // the status of a chip that is not blank ('0': blank)
    // The code an empty socket reports (in place of the code "00").
    std::string emptyCode = "00";
    std::string afterStatus = " ok";
    std::string eraseOk = "\r\nerase ok";
    std::string eraseFailed = "\r\nerase failed";
    std::string noChip = "\r\nno chip";  // erase and lock with an empty socket
    std::string countOk = "\r\nok";
    std::string countBad = "\r\nbad count";
    std::string sumLead = "\r\nSum=";  // ends in the reply's first '='
    char sumGap = ' ';                 // between the '=' and the digits
    std::string sumAfter;
    std::string lockOk = "\r\nlock ok";
    std::string writeLead;   // before the echo 'w'
    bool echoCount = false;  // 's' and the digits echoed before their XON
    bool lowerHex = false;   // the dump's and the checksum's digits

    // The replies that end in the prompt, for their line ends.
    enum End { kGreeting, kChip, kErase, kCount, kSum, kLock, kPass, kDump, kEnds };
    std::array<std::string, kEnds> ends{"\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "", ""};
    std::string passText;    // after a write pass and after a dump, before the line end
    std::string promptText;  // in front of every prompt, after the line end
    // Up to this many pieces a reply is sent in, a moment apart (1: whole).
    unsigned bursts = 1;

    std::string Greeting(bool family2051) const { return family2051 ? greeting2051 : greeting; }
    std::string ChipText(std::string_view code, bool blank) const;
    std::string SumText(std::uint16_t value) const;
    std::string Hex2(std::uint8_t byte) const;
    // The end of a reply of kind `end`: its line end, the text, the prompt.
    std::string Ending(End end) const {
        return (end == kPass || end == kDump ? passText : "") + ends[end] + promptText + ">";
    }

    // The seed and a sample of every reply, with control characters shown
    // as \r, \n, \xNN.
    std::string Describe() const;
};

// The same seed gives the same dialect on every machine; 0 the usual one.
Dialect DrawDialect(std::uint64_t seed);

// The dialect of a board whose options name none: the one that
// SetDefaultDialect gave, otherwise the seed in $CORVANE_SIM_DIALECT,
// otherwise the usual one.
inline constexpr const char* kDialectVariable = "CORVANE_SIM_DIALECT";
std::uint64_t DefaultDialectSeed();
// For the boards made in this process from now on, and for the corvane-sim
// programs started from it (through the environment).
void SetDefaultDialect(std::uint64_t seed);

}  // namespace corvane::sim
