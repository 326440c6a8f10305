#include "app/RawImageRep.h"

#include <cstdint>

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
    int bytesPerPixel = 0;
    switch (littleEndian32(p)) {
    case magic("RAW1"):
        layout.bitsPerSample = 8;
        layout.samplesPerPixel = 1;
        layout.colorSpace = ColorSpace::white;
        bytesPerPixel = 1;
        break;
    case magic("RAW2"):
        layout.bitsPerSample = 16;
        layout.samplesPerPixel = 1;
        layout.colorSpace = ColorSpace::white;
        bytesPerPixel = 2;
        break;
    case magic("RAW3"):
        layout.bitsPerSample = 8;
        layout.samplesPerPixel = 3;
        layout.colorSpace = ColorSpace::rgb;
        bytesPerPixel = 3;
        break;
    default:
        return nullptr;
    }
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
