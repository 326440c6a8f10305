#include "app/RawImageRep.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace quintarvel {

namespace {

constexpr std::size_t headerBytes = 12;

std::uint32_t littleEndian32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

constexpr std::uint32_t magic(const char (&text)[5]) {
    return std::uint32_t(std::uint8_t(text[0])) | std::uint32_t(std::uint8_t(text[1])) << 8 |
           std::uint32_t(std::uint8_t(text[2])) << 16 | std::uint32_t(std::uint8_t(text[3])) << 24;
}

} // namespace

RawImageRep::RawImageRep(const Layout &layout, ImageData data)
    : BitmapImageRep(layout, data.bytes() + headerBytes), data_(std::move(data)) {}

bool RawImageRep::canInitWithData(const ImageData &data) {
    const std::uint8_t *p = data.bytes();
    return data.size() >= 3 && p[0] == 'R' && p[1] == 'A' && p[2] == 'W';
}

std::vector<std::shared_ptr<BitmapImageRep>> RawImageRep::imageRepsWithData(const ImageData &data) {
    if (auto rep = initWithData(data))
        return {std::move(rep)};
    return {};
}

std::shared_ptr<RawImageRep> RawImageRep::initWithData(const ImageData &data) {
    if (data.size() < headerBytes)
        return nullptr;
    const std::uint8_t *p = data.bytes();
    Layout layout;
    layout.pixelsWide = littleEndian32(p + 4);
    layout.pixelsHigh = littleEndian32(p + 8);
    struct Kind {
        std::uint32_t magic;
        int bitsPerSample, samplesPerPixel;
        ColorSpace colorSpace;
    };
    static constexpr Kind kinds[] = {{magic("RAW1"), 8, 1, ColorSpace::white},
                                     {magic("RAW2"), 16, 1, ColorSpace::white},
                                     {magic("RAW3"), 8, 3, ColorSpace::rgb}};
    const std::uint32_t found = littleEndian32(p);
    const Kind *kind = std::find_if(std::begin(kinds), std::end(kinds),
                                    [found](const Kind &k) { return k.magic == found; });
    if (kind == std::end(kinds))
        return nullptr;
    layout.bitsPerSample = kind->bitsPerSample;
    layout.samplesPerPixel = kind->samplesPerPixel;
    layout.colorSpace = kind->colorSpace;
    const int bytesPerPixel = layout.bitsPerPixel() / 8;
    // At most 3 × (2^32 - 1): no overflow in 64 bits. The row count against the bytes present
    // is checked by `accepts` with a division, so nothing overflows there either.
    layout.bytesPerRow = layout.pixelsWide * bytesPerPixel;
    if (!accepts(layout, data.size() - headerBytes))
        return nullptr;
    return std::shared_ptr<RawImageRep>(new RawImageRep(layout, data));
}

ImageRepClass RawImageRep::imageRepClass() {
    return ImageRepClass{"RawImageRep", canInitWithData, imageRepsWithData};
}

} // namespace quintarvel
