#pragma once

// Whether a TIFF's file can hold the picture it declares; private to src/platform.

#include "platform/ImageData.h"

#include <tiffio.h>

namespace quintarvel::detail {

// False when a strip or tile of the current directory that the picture needs is missing from
// `data`, or when the bytes `data` holds for one cannot decode to what it stands for under its
// codec's bound, or all of them together to more than the whole of `data` could. A strip or tile
// without a bound (JBIG, WebP, LERC, arithmetic-coded JPEG) passes when the picture and what
// decoding it reserves are within the fixed ceilings of such codecs, and a JBIG strip when its
// own header describes no more than it.
bool tiffHoldsPicture(TIFF *tif, const ImageData &data);

} // namespace quintarvel::detail
