#pragma once

#include "platform/ImageData.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quintarvel {

// One decoded picture as interleaved samples, row 0 at the top. Samples wider than 8 bits are
// in the machine's byte order. Immutable once made; the pixel bytes stay valid as long as the
// representation lives.
class BitmapImageRep {
  public:
    enum class ColorSpace { white, rgb };

    struct Layout {
        std::int64_t pixelsWide = 0;
        std::int64_t pixelsHigh = 0;
        int bitsPerSample = 8;
        int samplesPerPixel = 1;
        bool hasAlpha = false;
        ColorSpace colorSpace = ColorSpace::white;
        std::int64_t bytesPerRow = 0;

        int bitsPerPixel() const { return bitsPerSample * samplesPerPixel; }
        // Bytes of the pixels of one row, without any padding up to bytesPerRow.
        std::int64_t packedRowBytes() const;
    };

    // The bitmap's own rule, checked without overflow: 8 or 16 bits per sample, 1 to 4 samples
    // (the last one alpha when hasAlpha, colour samples matching the colour space), at least
    // one pixel each way and no more than 2^31 - 1, rows long enough for their pixels, and
    // `available` bytes holding every row.
    static bool accepts(const Layout &layout, std::size_t available);

    // A bitmap over pixels it takes over; nothing when the layout is refused.
    static std::shared_ptr<BitmapImageRep>
    make(const Layout &layout, std::unique_ptr<std::uint8_t[]> pixels, std::size_t size);

    // A bitmap over bytes `offset` onwards of `data`, which it shares: nothing is copied.
    static std::shared_ptr<BitmapImageRep> sharing(const Layout &layout, const ImageData &data,
                                                   std::size_t offset);

    virtual ~BitmapImageRep() = default;
    BitmapImageRep(const BitmapImageRep &) = delete;
    BitmapImageRep &operator=(const BitmapImageRep &) = delete;

    std::int64_t pixelsWide() const { return layout_.pixelsWide; }
    std::int64_t pixelsHigh() const { return layout_.pixelsHigh; }
    int bitsPerSample() const { return layout_.bitsPerSample; }
    int samplesPerPixel() const { return layout_.samplesPerPixel; }
    bool hasAlpha() const { return layout_.hasAlpha; }
    ColorSpace colorSpace() const { return layout_.colorSpace; }
    int bitsPerPixel() const { return layout_.bitsPerPixel(); }
    std::int64_t bytesPerRow() const { return layout_.bytesPerRow; }
    const std::uint8_t *bitmapData() const { return bitmapData_; }

  protected:
    // For layouts that passed `accepts` over bytes the subclass keeps alive.
    BitmapImageRep(const Layout &layout, const std::uint8_t *bitmapData)
        : layout_(layout), bitmapData_(bitmapData) {}

  private:
    Layout layout_;
    const std::uint8_t *bitmapData_;
};

} // namespace quintarvel
