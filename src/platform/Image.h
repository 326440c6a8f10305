#pragma once

#include "platform/BitmapImageRep.h"
#include "platform/ImageData.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quintarvel {

// A decoded picture and its representations.
//
// Decoding from bytes asks, in order, every class registered with `registerImageRepClass`
// (first registered first), then the built-in decoders: PNG (libpng), JPEG (libjpeg-turbo),
// camera raw (LibRaw; only for bytes that carry a DNG, CR2 or Nikon signature) and TIFF
// (libtiff). Each class whose `canInitWithData` says yes is asked for representations in turn;
// the first that yields some wins.
//
// What the decoders deliver, always interleaved, row 0 at the top, 16-bit samples kept in the
// machine's byte order:
//   grey 8-bit -> 8 bpp; grey 1/2/4-bit -> 8 bpp scaled to 0..255; grey 16-bit -> 16 bpp
//   (grey+alpha drops the alpha; TIFF "min is white" is inverted to min is black)
//   RGB 8-bit -> 24 bpp; RGBA 8-bit -> 32 bpp; RGB 16-bit -> 48 bpp; RGBA 16-bit -> 48 bpp
//   PNG palette -> 24 bpp, or 32 bpp RGBA when it has transparency; JPEG CMYK/YCCK -> 24 bpp
//   TIFF palette, CMYK, YCbCr, Lab and other colour models, and TIFF orientations that swap
//   the axes -> 32 bpp RGBA through libtiff's RGBA reader (8 bits per sample)
//   TIFF with several pages: the first page
//   TIFF grey or RGB of samples that 16 bits cannot hold as they are (IEEE floating point of
//   16, 24, 32 or 64 bits, unsigned 32-bit, signed 8-, 16- or 32-bit integers) -> 16 bpp grey or
//   48 bpp RGB (alpha dropped), scaled linearly over the picture's finite colour samples taken
//   together: v = round((s - min) / (max - min) × 65535) in double, halves up ("min is white":
//   max - s in place of s - min; s, min and max halved first where max - min is beyond a
//   double); NaN, infinities, and every sample of a picture whose finite samples are all equal
//   -> 0. Other colour models, and orientations that swap the axes, with such samples: refused
//   camera raw -> demosaiced, linear, camera white balance, sRGB primaries: 48 bpp
//   (16 bpp for monochrome sensors)
// A decoder never allocates for more than `maxPixels` pixels, nor for a picture whose file holds
// fewer bytes than its codec needs for it at the most (a TIFF's strips together, whatever bytes
// they share), nor, through a codec without such a bound (arithmetic-coded JPEG, JBIG, WebP,
// LERC, some camera raw codecs), for more than 200 megapixels or more at once than ten bytes for
// each of them (a TIFF's strip is decoded whole, however many samples it has); a JBIG strip is
// judged by its own header, and a camera raw at the size it is developed to, stretched where its
// pixels are not square. It hands over a bitmap only when every row has been decoded; truncated
// or corrupt data, or data a codec completed with filler, gives no representation.
class Image {
  public:
    // width × height × 2 bytes must stay below 2^31 for the FITS converter; no larger picture
    // could be used, so none is decoded.
    static constexpr std::int64_t maxPixels = std::numeric_limits<std::int32_t>::max() / 2;

    // Nothing when no class can decode the bytes.
    static std::optional<Image> initWithData(const ImageData &data);
    // A camera raw file: the whole file goes to the camera raw decoder first, whatever its
    // signature; when that cannot decode it, the bytes are decoded like `initWithData`.
    static std::optional<Image> initWithContentsOfFile(const std::string &path);

    const std::vector<std::shared_ptr<BitmapImageRep>> &representations() const {
        return representations_;
    }

  private:
    explicit Image(std::vector<std::shared_ptr<BitmapImageRep>> representations)
        : representations_(std::move(representations)) {}

    std::vector<std::shared_ptr<BitmapImageRep>> representations_;
};

} // namespace quintarvel
