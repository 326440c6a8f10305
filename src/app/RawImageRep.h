#pragma once

#include "platform/BitmapImageRep.h"
#include "platform/ImageData.h"
#include "platform/ImageRepClass.h"

#include <memory>
#include <vector>

namespace quintarvel {

// The small raw raster container: a 12-byte header (magic, width, height; little-endian
// 32-bit) followed by the pixel rows, first row first, no padding:
//   "RAW1"  8-bit grey        bytes per row = width
//   "RAW2"  16-bit grey       bytes per row = 2 × width, samples little-endian as stored
//   "RAW3"  8-bit RGB         bytes per row = 3 × width
// The bitmap points into the container's own bytes, which the representation shares; nothing
// is copied. The only way to make one is `initWithData`.
class RawImageRep final : public BitmapImageRep {
  public:
    // True when the bytes begin with "RAW"; the fourth byte is left to `initWithData`.
    static bool canInitWithData(const ImageData &data);
    // One representation, or none when `initWithData` refuses the bytes.
    static std::vector<std::shared_ptr<BitmapImageRep>> imageRepsWithData(const ImageData &data);
    // Nothing for an unknown magic, a short header, too few pixel bytes for the announced
    // size, or a size the bitmap refuses (a side of 0 or above 2^31 - 1). Bytes after the
    // last row are ignored.
    static std::shared_ptr<RawImageRep> initWithData(const ImageData &data);

    // For `registerImageRepClass`, which start-up calls before any image is opened.
    static ImageRepClass imageRepClass();

    // The whole container, header included.
    const ImageData &data() const { return data_; }

  private:
    RawImageRep(const Layout &layout, ImageData data);

    ImageData data_;
};

} // namespace quintarvel
