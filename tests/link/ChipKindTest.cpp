#include <gtest/gtest.h>

#include "ChipKind.h"
#include "ProgrammerLink.h"
#include "RecordingView.h"
#include "Replies.h"

namespace corvane {
namespace {

TEST(ChipCatalogue, CodesAtOddPositionsNameTheChips) {
    EXPECT_EQ(LookupChipCode("51"), ck89C51);
    EXPECT_EQ(LookupChipCode("61"), ck89LV51);
    EXPECT_EQ(LookupChipCode("52"), ck89C52);
    EXPECT_EQ(LookupChipCode("62"), ck89LV52);
    EXPECT_EQ(LookupChipCode("55"), ck89C55);
    EXPECT_EQ(LookupChipCode("65"), ck89LV55);
}

TEST(ChipCatalogue, CodesThatStraddleOrAreMissingNameNoChip) {
    for (const char* code : {"16", "15", "26", "25", "56", "53", "00", "", "1", "2", "5165"}) {
        EXPECT_EQ(LookupChipCode(code), ckNone) << code;
    }
    // A one-character code is looked up the same way.
    EXPECT_EQ(LookupChipCode("5"), ck89C51);
    EXPECT_EQ(LookupChipCode("6"), ck89LV51);
}

// Boards word the chip query's reply their own way: only the code's place and
// the prompt after it count.
TEST(ChipCatalogue, TheSocketIsReadByTheCodesPlaceAndThePromptAlone) {
    using protocol::TSocketSays;
    const struct {
        const char* greeting;
        const char* reply;
        TSocketSays says;
        TChipKind kind;
    } rows[] = {
        {"\r\nYarv\r\n>", "p52,0 ok\r\n>", TSocketSays::Chip, ck89C52},
        {"Yarv>", "#52,0,ok>", TSocketSays::Chip, ck89C52},
        {"hello Yarv v2\n>", " 55,1 ok\n>", TSocketSays::Chip, ck89C55},
        {"Yarv>", "x61>", TSocketSays::Chip, ck89LV51},
        {"Yarv>", "p00,1 ok\r\n>", TSocketSays::NoChip, ckNone},
        {"Yarv>", "p5?,0 ok>", TSocketSays::NoChip, ckNone},  // a damaged code
        {"Yarv>", "p52,0 o", TSocketSays::Unknown, ckNone},   // cut short
        {"Yarv>", "p5>", TSocketSays::Unknown, ckNone},       // the prompt in the code's place
        {"Yarv>", "", TSocketSays::Unknown, ckNone},
        {"Yar>", "p52,0 ok>", TSocketSays::Silent, ckNone},
    };
    for (const auto& row : rows) {
        TChipKind kind = ckNone;
        EXPECT_EQ(protocol::ReadSocket(row.greeting, row.reply, kind), row.says) << row.reply;
        EXPECT_EQ(kind, row.kind) << row.reply;
    }
    EXPECT_TRUE(protocol::SaysErased("#52,0,ok>"));
    EXPECT_FALSE(protocol::SaysErased("#52,1,ok>"));
    EXPECT_EQ(protocol::ReadChecksum("sum = 1E05\r\n>"), 0x1E05);
    EXPECT_EQ(protocol::ReadChecksum("sum=:1e05>"), 0x1E05);
    EXPECT_EQ(protocol::ReadChecksum("sum = 1G05>"), std::nullopt);
}

TEST(ChipCatalogue, Labels) {
    EXPECT_EQ(ChipLabel(ckNone), "");
    EXPECT_EQ(ChipLabel(ck89C51), "89C51");
    EXPECT_EQ(ChipLabel(ck89LV51), "89LV51");
    EXPECT_EQ(ChipLabel(ck89C52), "89C52");
    EXPECT_EQ(ChipLabel(ck89LV52), "89LV52");
    EXPECT_EQ(ChipLabel(ck89C55), "89C55");
    EXPECT_EQ(ChipLabel(ck89LV55), "89LV55");
    EXPECT_EQ(ChipLabel(ck89C2051), "89C2051/4051");
}

TEST(ChipCatalogue, SetChipKindSizesBothImagesForFixedSizeChips) {
    test::RecordingView view;
    TProgrammerLink link(view);
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_EQ(link.SourceImage().MemSize(), 0);

    const std::pair<TChipKind, int> sizes[] = {{ck89C51, 4096},  {ck89LV51, 4096},
                                               {ck89C52, 8192},  {ck89LV52, 8192},
                                               {ck89C55, 20480}, {ck89LV55, 20480}};
    for (auto [kind, size] : sizes) {
        link.SetChipKind(kind);
        EXPECT_EQ(link.ChipKind(), kind);
        EXPECT_EQ(link.SourceImage().MemSize(), size);
        EXPECT_EQ(link.ReadImage().MemSize(), size);
    }
    link.SetChipKind(ck89C52);
    link.SetChipKind(ckNone);
    EXPECT_EQ(link.ChipKind(), ckNone);
    EXPECT_EQ(link.SourceImage().MemSize(), 8192);
    EXPECT_EQ(link.ReadImage().MemSize(), 8192);
    link.SetChipKind(ck89C2051);
    EXPECT_EQ(link.SourceImage().MemSize(), 8192);
}

TEST(ChipCatalogue, MemorySizeChoiceSizesBothImages) {
    test::RecordingView view;
    TProgrammerLink link(view);
    view.memSizeIndex = 1;
    link.ApplyMemSizeChoice();
    EXPECT_EQ(link.SourceImage().MemSize(), 4096);
    EXPECT_EQ(link.ReadImage().MemSize(), 4096);
    view.memSizeIndex = 0;
    link.ApplyMemSizeChoice();
    EXPECT_EQ(link.SourceImage().MemSize(), 2048);
    EXPECT_EQ(link.ReadImage().MemSize(), 2048);
}

TEST(ChipCatalogue, LastDataIndex) {
    THexFile image;
    image.SetMemSize(64);
    image.Clear();
    EXPECT_EQ(TProgrammerLink::LastDataIndex(image), -1);
    image.SetByte(0, 0x00);
    EXPECT_EQ(TProgrammerLink::LastDataIndex(image), 0);
    image.SetByte(40, 0x12);
    image.SetByte(41, 0xFF);
    EXPECT_EQ(TProgrammerLink::LastDataIndex(image), 40);
    image.SetByte(63, 0x7F);
    EXPECT_EQ(TProgrammerLink::LastDataIndex(image), 63);
}

TEST(ChipCatalogue, PortHasTheProgrammersLineSettings) {
    test::RecordingView view;
    TProgrammerLink link(view);
    TComPort& port = link.ComPort();
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_EQ(port.Events(), TComEvents{evRxChar});
    EXPECT_EQ(port.Buffer().InputSize(), 4096);
    EXPECT_EQ(port.Buffer().OutputSize(), 4096);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    EXPECT_FALSE(port.FlowControl().OutDSRFlow());
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrDisable);
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsDisable);
    EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 1000);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_FALSE(port.Connected());
}

}  // namespace
}  // namespace corvane
