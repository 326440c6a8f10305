#include "app/RawImageRep.h"

#include "support/ImageFiles.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using test::rawContainer;

ImageData bytes(const std::string &text) {
    return ImageData::copyOf(text);
}

TEST(RawImageRep, ThreeMagicsGiveGreyGrey16AndRgbOverTheContainersOwnBytes) {
    std::shared_ptr<RawImageRep> grey;
    const std::uint8_t *start = nullptr;
    {
        const ImageData raw1 = bytes(rawContainer("RAW1", 2, 2, "\x0A\x14\x1E\x28trailing"));
        start = raw1.bytes();
        grey = RawImageRep::initWithData(raw1);
    } // the representation keeps the bytes alive
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->bitmapData(), start + 12); // no copy
    EXPECT_EQ(grey->bitmapData()[3], 40);
    EXPECT_EQ(grey->pixelsWide(), 2);
    EXPECT_EQ(grey->pixelsHigh(), 2);
    EXPECT_EQ(grey->bitsPerPixel(), 8);
    EXPECT_EQ(grey->bytesPerRow(), 2);
    EXPECT_EQ(grey->colorSpace(), BitmapImageRep::ColorSpace::white);

    auto grey16 = RawImageRep::initWithData(bytes(rawContainer("RAW2", 1, 1, "\x34\x12")));
    ASSERT_TRUE(grey16);
    EXPECT_EQ(grey16->bitsPerPixel(), 16);
    EXPECT_EQ(grey16->bitmapData()[0], 0x34); // stored little-endian, never swapped

    auto rgb = RawImageRep::imageRepsWithData(bytes(rawContainer("RAW3", 1, 1, "\xFF\x01\x02")));
    ASSERT_EQ(rgb.size(), 1u);
    EXPECT_EQ(rgb[0]->bitsPerPixel(), 24);
    EXPECT_FALSE(rgb[0]->hasAlpha());
    EXPECT_EQ(rgb[0]->colorSpace(), BitmapImageRep::ColorSpace::rgb);
    EXPECT_EQ(rgb[0]->bytesPerRow(), 3);
}

TEST(RawImageRep, LooksAtThreeBytesButRefusesWhatItCannotHold) {
    EXPECT_TRUE(RawImageRep::canInitWithData(bytes("RAW")));
    EXPECT_TRUE(RawImageRep::canInitWithData(bytes("RAW9 and more")));
    EXPECT_FALSE(RawImageRep::canInitWithData(bytes("RA")));
    EXPECT_FALSE(RawImageRep::canInitWithData(bytes("raw1")));
    const std::string refused[] = {
        "RAW",                                                // shorter than the header
        rawContainer("RAW1", 2, 2, "").substr(0, 11),         // header cut short
        rawContainer("RAW4", 1, 1, "\x01"),                   // unknown magic
        rawContainer("RAW1", 100, 100, std::string(50, 'x')), // too few pixel bytes
        rawContainer("RAW2", 2, 1, "\x01\x02\x03"),           // one byte short
        rawContainer("RAW3", 1, 2, "\x01\x02\x03"),           // one row short
        rawContainer("RAW1", 0, 5, "xxxxx"),                  // no pixels
        // Sizes whose byte count overflows 32 and 64 bits must not wrap into "enough".
        rawContainer("RAW3", 0xFFFFFFFF, 0xFFFFFFFF, std::string(64, 'x')),
        rawContainer("RAW2", 0x80000000, 2, std::string(64, 'x')),
    };
    for (const std::string &container : refused) {
        EXPECT_FALSE(RawImageRep::initWithData(bytes(container))) << container.size();
        EXPECT_TRUE(RawImageRep::imageRepsWithData(bytes(container)).empty());
    }
}

} // namespace
} // namespace quintarvel
