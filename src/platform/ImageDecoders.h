#pragma once

// The built-in decoders behind `Image`; private to src/platform.

#include "platform/BitmapImageRep.h"
#include "platform/ImageData.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace quintarvel::detail {

// The pixels a decoder fills before they become a bitmap. Allocation refuses pictures above
// `Image::maxPixels` and failed allocations. The bytes start zeroed; still, a decoder writes
// every row before calling `finish`.
class PixelBuffer {
  public:
    static std::optional<PixelBuffer> allocate(std::int64_t wide, std::int64_t high,
                                               int bitsPerSample, int samplesPerPixel,
                                               bool hasAlpha, BitmapImageRep::ColorSpace space);

    const BitmapImageRep::Layout &layout() const { return layout_; }
    std::uint8_t *data() { return bytes_.get(); }
    std::uint8_t *row(std::int64_t y) { return bytes_.get() + y * layout_.bytesPerRow; }
    std::shared_ptr<BitmapImageRep> finish() &&;

  private:
    PixelBuffer() = default;

    BitmapImageRep::Layout layout_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

// True when a picture of this size may be decoded at all.
bool pixelCountAllowed(std::int64_t wide, std::int64_t high);

bool looksLikePng(const ImageData &data);
std::shared_ptr<BitmapImageRep> decodePng(const ImageData &data);

bool looksLikeJpeg(const ImageData &data);
std::shared_ptr<BitmapImageRep> decodeJpeg(const ImageData &data);

bool looksLikeTiff(const ImageData &data);
std::shared_ptr<BitmapImageRep> decodeTiff(const ImageData &data);

// Camera raw signatures that take priority over plain TIFF: DNG, Canon CR2, Nikon NEF.
bool looksLikeCameraRaw(const ImageData &data);
// Whatever LibRaw recognises, whether or not the signature above matches.
std::shared_ptr<BitmapImageRep> decodeCameraRaw(const ImageData &data);

} // namespace quintarvel::detail
