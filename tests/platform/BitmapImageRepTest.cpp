#include "platform/BitmapImageRep.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

BitmapImageRep::Layout grey8(std::int64_t wide, std::int64_t high) {
    BitmapImageRep::Layout l;
    l.pixelsWide = wide;
    l.pixelsHigh = high;
    l.bytesPerRow = wide;
    return l;
}

TEST(BitmapImageRep, AcceptsOnlyRowsThatFitTheBytes) {
    EXPECT_TRUE(BitmapImageRep::accepts(grey8(3, 2), 6));
    EXPECT_FALSE(BitmapImageRep::accepts(grey8(3, 2), 5));
    auto padded = grey8(3, 2);
    padded.bytesPerRow = 4;
    EXPECT_TRUE(BitmapImageRep::accepts(padded, 8));
    EXPECT_FALSE(BitmapImageRep::accepts(padded, 7));
    auto tooShort = grey8(3, 2);
    tooShort.bytesPerRow = 2;
    EXPECT_FALSE(BitmapImageRep::accepts(tooShort, 100));
    // Products that would overflow 64 bits are refused, not wrapped.
    auto huge = grey8(0x7FFFFFFF, 0x7FFFFFFF);
    huge.bytesPerRow = std::int64_t{1} << 40;
    EXPECT_FALSE(BitmapImageRep::accepts(huge, 1000));
}

TEST(BitmapImageRep, RefusesEmptyOversizedAndInconsistentLayouts) {
    EXPECT_FALSE(BitmapImageRep::accepts(grey8(0, 2), 100));
    EXPECT_FALSE(BitmapImageRep::accepts(grey8(2, 0), 100));
    EXPECT_FALSE(BitmapImageRep::accepts(grey8(std::int64_t{1} << 31, 1), std::size_t{1} << 32));
    auto rgbWithOneSample = grey8(1, 1);
    rgbWithOneSample.colorSpace = BitmapImageRep::ColorSpace::rgb;
    EXPECT_FALSE(BitmapImageRep::accepts(rgbWithOneSample, 10));
    auto twelveBits = grey8(1, 1);
    twelveBits.bitsPerSample = 12;
    EXPECT_FALSE(BitmapImageRep::accepts(twelveBits, 10));
    auto rgba16 = grey8(1, 1);
    rgba16.colorSpace = BitmapImageRep::ColorSpace::rgb;
    rgba16.samplesPerPixel = 4;
    rgba16.hasAlpha = true;
    rgba16.bitsPerSample = 16;
    rgba16.bytesPerRow = 8;
    EXPECT_TRUE(BitmapImageRep::accepts(rgba16, 8));
    EXPECT_EQ(rgba16.bitsPerPixel(), 64);
}

TEST(BitmapImageRep, MakeKeepsThePixels) {
    std::unique_ptr<std::uint8_t[]> pixels(new std::uint8_t[4]{1, 2, 3, 4});
    const std::uint8_t *raw = pixels.get();
    auto rep = BitmapImageRep::make(grey8(2, 2), std::move(pixels), 4);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->bitmapData(), raw);
    EXPECT_EQ(rep->bitsPerPixel(), 8);
    EXPECT_FALSE(
        BitmapImageRep::make(grey8(2, 3), std::unique_ptr<std::uint8_t[]>(new std::uint8_t[4]), 4));
}

} // namespace
} // namespace quintarvel
