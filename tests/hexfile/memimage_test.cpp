#include <gtest/gtest.h>

#include "UHexFile.h"

using corvane::EHexFile;
using corvane::THexFile;

namespace {

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EHexFile& e) {
        return e.what();
    }
    return "(no EHexFile)";
}

TEST(MemImage, NewImageIsEmptyAndRefusesEveryAddress) {
    THexFile image;
    EXPECT_EQ(image.MemSize(), 0);
    image.Fill(0x12);
    image.Clear();
    EXPECT_TRUE(image.Data().empty());
    EXPECT_EQ(MessageOf([&] { image.GetByte(0); }), "Exceed Memory Size[Target:0 Size:0]");
    EXPECT_EQ(MessageOf([&] { image.SetByte(0, 1); }), "Exceed Memory Size[Target:0 Size:0]");
}

TEST(MemImage, LastAddressIsUsableAndTheNextOneRaisesInUpperCaseHex) {
    THexFile image;
    image.SetMemSize(4096);
    image.SetByte(4095, 0xAB);
    EXPECT_EQ(image.GetByte(4095), 0xAB);
    EXPECT_EQ(MessageOf([&] { image.GetByte(4096); }), "Exceed Memory Size[Target:1000 Size:1000]");
    EXPECT_EQ(MessageOf([&] { image.SetByte(0xABCD, 0); }),
              "Exceed Memory Size[Target:ABCD Size:1000]");
    EXPECT_EQ(image.GetByte(4095), 0xAB);  // nothing stored by the failed write
}

TEST(MemImage, ResizingKeepsOldBytesAndZeroesNewOnes) {
    THexFile image;
    image.SetMemSize(4);
    image.Clear();
    image.SetByte(3, 0x42);
    image.SetMemSize(8);
    EXPECT_EQ(image.MemSize(), 8);
    EXPECT_EQ(image.GetByte(3), 0x42);
    EXPECT_EQ(image.GetByte(0), 0xFF);
    for (std::uint16_t a = 4; a < 8; ++a) EXPECT_EQ(image.GetByte(a), 0x00) << a;

    image.SetMemSize(2);
    EXPECT_EQ(image.MemSize(), 2);
    EXPECT_THROW(image.GetByte(2), EHexFile);
    image.SetMemSize(4);
    EXPECT_EQ(image.GetByte(3), 0x00);  // dropped bytes do not come back

    image.SetMemSize(0);
    EXPECT_EQ(image.MemSize(), 0);
    EXPECT_TRUE(image.Data().empty());
}

TEST(MemImage, ClearErasesEveryByte) {
    THexFile image;
    image.SetMemSize(20480);
    image.Fill(0x00);
    image.Clear();
    for (auto b : image.Data()) ASSERT_EQ(b, 0xFF);
    EXPECT_EQ(image.Data().size(), 20480u);
}

}  // namespace
