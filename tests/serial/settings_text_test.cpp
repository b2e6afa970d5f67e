// The text forms of the port settings.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "CPort.h"
#include "SettingsText.h"

namespace corvane {
namespace {

TEST(SettingsText, EveryMemberReadsBackFromItsText) {
    for (int v = brCustom; v <= br256000; ++v) {
        EXPECT_EQ(ParseBaudRate(BaudRateText(static_cast<TBaudRate>(v))), v);
    }
    for (int v = sbOneStopBit; v <= sbTwoStopBits; ++v) {
        EXPECT_EQ(ParseStopBits(StopBitsText(static_cast<TStopBits>(v))), v);
    }
    for (int v = dbFive; v <= dbEight; ++v) {
        EXPECT_EQ(ParseDataBits(DataBitsText(static_cast<TDataBits>(v))), v);
    }
    for (int v = prNone; v <= prSpace; ++v) {
        EXPECT_EQ(ParseParity(ParityText(static_cast<TParityBits>(v))), v);
    }
    for (int v = fcHardware; v <= fcCustom; ++v) {
        EXPECT_EQ(ParseFlowControl(FlowControlText(static_cast<TFlowControl>(v))), v);
    }
    for (int v = dtrDisable; v <= dtrHandshake; ++v) {
        EXPECT_EQ(ParseControlDTR(ControlDTRText(static_cast<TDTRFlowControl>(v))), v);
    }
    for (int v = rtsDisable; v <= rtsToggle; ++v) {
        EXPECT_EQ(ParseControlRTS(ControlRTSText(static_cast<TRTSFlowControl>(v))), v);
    }
}

TEST(SettingsText, ParsingIgnoresLetterCaseButNothingElse) {
    EXPECT_EQ(ParseBaudRate("custom"), brCustom);
    EXPECT_EQ(ParseBaudRate("CUSTOM"), brCustom);
    EXPECT_EQ(ParseParity("eVeN"), prEven);
    EXPECT_EQ(ParseControlRTS("toggle"), rtsToggle);
    // Blanks and extra text are not trimmed: they give the default.
    EXPECT_EQ(ParseBaudRate(" 300"), br9600);
    EXPECT_EQ(ParseBaudRate("300 baud"), br9600);
    EXPECT_EQ(ParseStopBits("1,5"), sbOneStopBit);
    EXPECT_EQ(ParseDataBits("9"), dbEight);
    EXPECT_EQ(ParseParity(""), prNone);
    EXPECT_EQ(ParseFlowControl(""), fcCustom);
    EXPECT_EQ(ParseFlowControl("RTS/CTS"), fcCustom);
    EXPECT_EQ(ParseControlDTR("on"), dtrDisable);
    EXPECT_EQ(ParseControlRTS("\xC4nable"), rtsDisable);
}

TEST(SettingsText, Flags) {
    EXPECT_TRUE(ParseYesNo("yes"));
    EXPECT_TRUE(ParseYesNo("Yes"));
    EXPECT_TRUE(ParseYesNo("YES"));
    EXPECT_FALSE(ParseYesNo("True"));
    EXPECT_FALSE(ParseYesNo("1"));
    EXPECT_FALSE(ParseYesNo(""));
    EXPECT_FALSE(ParseYesNo("yes "));
    EXPECT_FALSE(ParseYesNo("No"));
}

TEST(SettingsText, CharactersWrittenAsThemselvesOrByCode) {
    EXPECT_EQ(CharText(17), "#17");
    EXPECT_EQ(CharText(0), "#0");
    EXPECT_EQ(CharText(' '), "#32");
    EXPECT_EQ(CharText('A'), "A");
    EXPECT_EQ(CharText('#'), "#");
    EXPECT_EQ(CharText(127), "\x7f");
    EXPECT_EQ(CharText(static_cast<char>(128)), "#128");
    EXPECT_EQ(CharText(static_cast<char>(255)), "#255");
    // Every code reads back as itself, "#" included.
    for (int code = 0; code < 256; ++code) {
        const char ch = static_cast<char>(code);
        EXPECT_EQ(ParseChar(CharText(ch)), ch) << code;
    }
}

TEST(SettingsText, CharacterForms) {
    EXPECT_EQ(ParseChar("#17"), 17);
    EXPECT_EQ(ParseChar("#$13"), 19);
    EXPECT_EQ(ParseChar("#300"), 44);  // the low 8 bits
    EXPECT_EQ(ParseChar("#abc"), 0);
    EXPECT_EQ(ParseChar("A"), 'A');
    EXPECT_EQ(ParseChar("ABC"), 'A');
    EXPECT_EQ(ParseChar("#"), '#');
    EXPECT_EQ(ParseChar(""), 0);
    EXPECT_EQ(ParseChar("# 65"), 65);
    EXPECT_EQ(ParseChar("#-1"), static_cast<char>(255));
    EXPECT_EQ(ParseChar("#$ff"), static_cast<char>(255));
    EXPECT_EQ(ParseChar("#65 "), 0);
    EXPECT_EQ(ParseChar("#99999999999"), 0);
    EXPECT_EQ(ParseChar("#$"), 0);
    EXPECT_EQ(ParseChar("#0x41"), 0);
}

TEST(SettingsText, IntegerLimits) {
    std::int32_t v = 7;
    EXPECT_TRUE(TryParseInteger("2147483647", v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_TRUE(TryParseInteger("-2147483648", v));
    EXPECT_EQ(v, INT_MIN);
    EXPECT_TRUE(TryParseInteger("$80000000", v));
    EXPECT_EQ(v, INT_MIN);
    EXPECT_TRUE(TryParseInteger("-$10", v));
    EXPECT_EQ(v, -16);
    v = 7;
    for (const char* bad : {"", " ", "-", "$", "--1", "+-1", "$-1", "2147483648", "-2147483649",
                            "$100000000", "12a", "1 2"}) {
        EXPECT_FALSE(TryParseInteger(bad, v)) << bad;
    }
    EXPECT_EQ(v, 7);
}

}  // namespace
}  // namespace corvane
