#include "platform/BitmapImageRep.h"

#include <limits>

namespace quintarvel {

namespace {

constexpr std::int64_t maxSide = std::numeric_limits<std::int32_t>::max();

// Keeps decoded pixels alive for the representation made over them.
class OwningBitmapImageRep final : public BitmapImageRep {
  public:
    OwningBitmapImageRep(const Layout &layout, std::unique_ptr<std::uint8_t[]> pixels)
        : BitmapImageRep(layout, pixels.get()), pixels_(std::move(pixels)) {}

  private:
    std::unique_ptr<std::uint8_t[]> pixels_;
};

class SharingBitmapImageRep final : public BitmapImageRep {
  public:
    SharingBitmapImageRep(const Layout &layout, const ImageData &data, std::size_t offset)
        : BitmapImageRep(layout, data.bytes() + offset), data_(data) {}

  private:
    ImageData data_;
};

} // namespace

std::int64_t BitmapImageRep::Layout::packedRowBytes() const {
    return pixelsWide * (bitsPerPixel() / 8);
}

bool BitmapImageRep::accepts(const Layout &layout, std::size_t available) {
    if (layout.bitsPerSample != 8 && layout.bitsPerSample != 16)
        return false;
    const int colours = layout.samplesPerPixel - (layout.hasAlpha ? 1 : 0);
    if (colours != (layout.colorSpace == ColorSpace::rgb ? 3 : 1))
        return false;
    if (layout.pixelsWide < 1 || layout.pixelsWide > maxSide || layout.pixelsHigh < 1 ||
        layout.pixelsHigh > maxSide)
        return false;
    // Both factors are below 2^31 and the pixel size is at most 8 bytes: no overflow.
    if (layout.bytesPerRow < layout.packedRowBytes())
        return false;
    const auto rowBytes = static_cast<std::uint64_t>(layout.bytesPerRow);
    const auto rows = static_cast<std::uint64_t>(layout.pixelsHigh);
    return rows <= available / rowBytes;
}

std::shared_ptr<BitmapImageRep> BitmapImageRep::make(const Layout &layout,
                                                     std::unique_ptr<std::uint8_t[]> pixels,
                                                     std::size_t size) {
    if (!pixels || !accepts(layout, size))
        return nullptr;
    return std::make_shared<OwningBitmapImageRep>(layout, std::move(pixels));
}

} // namespace quintarvel

namespace quintarvel {

std::shared_ptr<BitmapImageRep> BitmapImageRep::sharing(const Layout &layout, const ImageData &data,
                                                        std::size_t offset) {
    if (offset > data.size() || !accepts(layout, data.size() - offset))
        return nullptr;
    return std::make_shared<SharingBitmapImageRep>(layout, data, offset);
}

} // namespace quintarvel
