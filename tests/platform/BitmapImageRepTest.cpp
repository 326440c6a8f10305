#include "platform/BitmapImageRep.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using Layout = BitmapImageRep::Layout;

Layout grey8(std::int64_t wide, std::int64_t high, std::int64_t bytesPerRow = 0) {
    Layout l;
    l.pixelsWide = wide;
    l.pixelsHigh = high;
    l.bytesPerRow = bytesPerRow ? bytesPerRow : wide;
    return l;
}

TEST(BitmapImageRep, AcceptsOnlyConsistentLayoutsWhoseRowsFitTheBytes) {
    Layout rgbWithOneSample = grey8(1, 1), twelveBits = grey8(1, 1), rgba16 = grey8(1, 1, 8);
    rgbWithOneSample.colorSpace = rgba16.colorSpace = BitmapImageRep::ColorSpace::rgb;
    twelveBits.bitsPerSample = 12;
    rgba16.samplesPerPixel = 4;
    rgba16.hasAlpha = true;
    rgba16.bitsPerSample = 16;
    EXPECT_EQ(rgba16.bitsPerPixel(), 64);
    const struct {
        const char *name;
        Layout layout;
        std::size_t bytes;
        bool accepted;
    } cases[] = {
        {"exact", grey8(3, 2), 6, true},
        {"one byte short", grey8(3, 2), 5, false},
        {"padded rows", grey8(3, 2, 4), 8, true},
        {"padded rows, last cut", grey8(3, 2, 4), 7, false},
        {"rows shorter than pixels", grey8(3, 2, 2), 100, false},
        // Products that would overflow 64 bits are refused, not wrapped.
        {"overflowing", grey8(0x7FFFFFFF, 0x7FFFFFFF, std::int64_t{1} << 40), 1000, false},
        {"no columns", grey8(0, 2), 100, false},
        {"no rows", grey8(2, 0), 100, false},
        {"too wide", grey8(std::int64_t{1} << 31, 1), std::size_t{1} << 32, false},
        {"RGB with one sample", rgbWithOneSample, 10, false},
        {"12-bit samples", twelveBits, 10, false},
        {"16-bit RGBA", rgba16, 8, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(BitmapImageRep::accepts(c.layout, c.bytes), c.accepted) << c.name;
}

TEST(BitmapImageRep, MakeKeepsThePixelsAndRefusesTooFewBytes) {
    std::unique_ptr<std::uint8_t[]> pixels(new std::uint8_t[4]{1, 2, 3, 4});
    const std::uint8_t *raw = pixels.get();
    auto rep = BitmapImageRep::make(grey8(2, 2), std::move(pixels), 4);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->bitmapData(), raw);
    EXPECT_FALSE(
        BitmapImageRep::make(grey8(2, 3), std::unique_ptr<std::uint8_t[]>(new std::uint8_t[4]), 4));
}

} // namespace
} // namespace quintarvel
