#pragma once

// The text forms of the port settings, as they stand in an INI file section
// or a registry key: one table of texts per enumeration, "Yes"/"No" for
// flags, and characters either as themselves or as "#" and their code.
//
// Parsing never fails: text that matches no entry gives the table's default.

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// The setting types of the port component (CPort.h), declared here so that
// this header stands on its own.
enum TBaudRate : std::uint8_t;
enum TStopBits : std::uint8_t;
enum TDataBits : std::uint8_t;
enum TParityBits : std::uint8_t;
enum TFlowControl : std::uint8_t;
enum TDTRFlowControl : std::uint8_t;
enum TRTSFlowControl : std::uint8_t;

std::string BaudRateText(TBaudRate Value);
TBaudRate ParseBaudRate(std::string_view Text);

std::string StopBitsText(TStopBits Value);
TStopBits ParseStopBits(std::string_view Text);

std::string DataBitsText(TDataBits Value);
TDataBits ParseDataBits(std::string_view Text);

std::string ParityText(TParityBits Value);
TParityBits ParseParity(std::string_view Text);

std::string FlowControlText(TFlowControl Value);
TFlowControl ParseFlowControl(std::string_view Text);

std::string ControlDTRText(TDTRFlowControl Value);
TDTRFlowControl ParseControlDTR(std::string_view Text);

std::string ControlRTSText(TRTSFlowControl Value);
TRTSFlowControl ParseControlRTS(std::string_view Text);

// "Yes" or "No"; only "yes" in any letter case reads as true.
std::string YesNoText(bool Value);
bool ParseYesNo(std::string_view Text);

// Codes 33 to 127 as the character itself, every other code as "#" and the
// code in decimal (#0, #17, #32, #200).
std::string CharText(char Ch);
// "" gives 0; "#" alone or text without a leading "#" gives its first
// character; "#N" gives the low 8 bits of the integer N, or 0 when N is none.
char ParseChar(std::string_view Text);

// Text comparison that folds the letter case of a to z only, as the texts
// above are matched (other bytes compare by their unsigned value).
bool SameText(std::string_view A, std::string_view B);
// Less than, equal to or greater than 0 as A sorts before, with or after B.
int CompareText(std::string_view A, std::string_view B);

// Reads a signed 32-bit integer the way the settings texts write them:
// leading blanks, an optional sign, then decimal digits or "$" and hex
// digits, and nothing after. Hex may use all 32 bits ($FFFFFFFF is -1).
// Returns false, leaving Value alone, when the text is no such integer.
bool TryParseInteger(std::string_view Text, std::int32_t& Value);

}  // namespace corvane
