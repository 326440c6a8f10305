// Camera raw files through LibRaw: demosaiced to 16-bit RGB, kept linear (no gamma curve, no
// automatic brightening) so that star fluxes stay proportional, camera white balance, sRGB
// primaries.

#include "platform/ImageDecoders.h"

#include "platform/ImageCodecBounds.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <libraw/libraw.h>
#include <optional>
#include <string_view>

namespace quintarvel::detail {

namespace {

struct Problems {
    bool seen = false;
};

// LibRaw reports truncated or corrupt data here and goes on with whatever it has; such a
// picture is refused rather than handed over half made.
void onDataError(void *problems, const char *, const int) {
    static_cast<Problems *>(problems)->seen = true;
}
void onMemoryError(void *problems, const char *, const char *) {
    static_cast<Problems *>(problems)->seen = true;
}

std::unique_ptr<LibRaw> makeProcessor(Problems &problems) {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                        LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    raw->set_dataerror_handler(onDataError, &problems);
    raw->set_memerror_handler(onMemoryError, &problems);
    auto &params = raw->imgdata.params;
    params.output_bps = 16;
    params.gamm[0] = 1.0;
    params.gamm[1] = 1.0;
    params.no_auto_bright = 1;
    params.use_camera_wb = 1;
    params.output_color = 1;
    return raw;
}

// LibRaw's decoders that code every raw pixel in at least one bit: plain samples, lossless JPEG
// (one Huffman code per sample at least) and Nikon's Huffman code. A file holding fewer bits than
// its declared raw pixels cannot be one of them. The others (lossy DNG, Sony, Fuji, Panasonic,
// Canon's CR3 and more) can code many pixels in a bit; they are held to the fixed ceiling, on
// the raw pixels and on the picture developed from them.
constexpr std::string_view everyPixelCoded[] = {
    "unpacked_load_raw()",      "unpacked_load_raw_reversed()", "packed_load_raw()",
    "packed_dng_load_raw()",    "eight_bit_load_raw()",         "nikon_14bit_load_raw()",
    "lossless_jpeg_load_raw()", "lossless_dng_load_raw()",      "nikon_load_raw()",
};

struct Size {
    std::uint64_t wide = 0, high = 0;
};

// The picture LibRaw develops, as `dcraw_process` makes it after `unpack`: a Fuji SuperCCD
// sensor, whose pixels lie at 45 degrees, is turned upright (`fuji_rotate`), then pixels that
// are not square are stretched until they are (`stretch`, from DNG DefaultScale among others).
// Worked out here from what `identify` left, as those two do it; `adjust_sizes_info_only` would
// tell the same, but it leaves the Fuji width changed for the development that follows. Nothing
// where LibRaw's own arithmetic would leave its 16-bit sizes, or divide by an aspect that is no
// number above zero. Nothing here asks for half size, so LibRaw shrinks nothing.
std::optional<Size> developedSize(LibRaw &raw) {
    const auto &sizes = raw.imgdata.sizes;
    double wide = sizes.width, high = sizes.height;
    if (const int fujiWidth = raw.is_fuji_rotated()) {
        const double step = std::sqrt(0.5);
        const int across = fujiWidth - 1;
        if (across > sizes.height)
            return std::nullopt;
        wide = std::floor(across / step);
        high = std::floor((sizes.height - across) / step);
    }
    const double aspect = sizes.pixel_aspect;
    if (!(aspect > 0) || !std::isfinite(aspect))
        return std::nullopt;
    if (aspect < 1)
        high = std::floor(high / aspect + 0.5);
    else if (aspect > 1)
        wide = std::floor(wide * aspect + 0.5);
    if (wide > 65535 || high > 65535)
        return std::nullopt;
    return Size{static_cast<std::uint64_t>(wide), static_cast<std::uint64_t>(high)};
}

// LibRaw reserves the raw pixels when it unpacks, the raw image's picture before it develops,
// and the developed one as it does; the sizes of all three are known before. Through a decoder
// with a bound, the developed picture needs none of its own: LibRaw refuses pixels more than ten
// times as wide as high or the reverse, so it is at most ten times the raw image.
bool fileHoldsPicture(LibRaw &raw, Size developed, std::size_t fileBytes) {
    const char *decoder = raw.unpack_function_name();
    const auto &sizes = raw.imgdata.sizes;
    if (!decoder || std::find(std::begin(everyPixelCoded), std::end(everyPixelCoded),
                              std::string_view(decoder)) == std::end(everyPixelCoded))
        return withinUnboundedCeiling(sizes.raw_width, sizes.raw_height) &&
               withinUnboundedCeiling(sizes.width, sizes.height) &&
               withinUnboundedCeiling(developed.wide, developed.high);
    return std::uint64_t{sizes.raw_width} * sizes.raw_height <= 8 * std::uint64_t{fileBytes};
}

std::shared_ptr<BitmapImageRep> develop(LibRaw &raw, const Problems &problems,
                                        std::size_t fileBytes) {
    const auto &sizes = raw.imgdata.sizes;
    const std::optional<Size> developed = developedSize(raw);
    if (!developed || !pixelCountAllowed(sizes.raw_width, sizes.raw_height) ||
        !pixelCountAllowed(sizes.width, sizes.height) ||
        !pixelCountAllowed(static_cast<std::int64_t>(developed->wide),
                           static_cast<std::int64_t>(developed->high)) ||
        !fileHoldsPicture(raw, *developed, fileBytes))
        return nullptr;
    if (raw.unpack() != LIBRAW_SUCCESS || problems.seen)
        return nullptr;
    if (raw.dcraw_process() != LIBRAW_SUCCESS || problems.seen)
        return nullptr;
    int wide = 0, high = 0, colours = 0, bits = 0;
    raw.get_mem_image_format(&wide, &high, &colours, &bits);
    if (bits != 16 || (colours != 1 && colours != 3))
        return nullptr;
    auto pixels = PixelBuffer::allocate(wide, high, 16, colours, false,
                                        colours == 3 ? BitmapImageRep::ColorSpace::rgb
                                                     : BitmapImageRep::ColorSpace::white);
    if (!pixels || pixels->layout().bytesPerRow > INT_MAX)
        return nullptr;
    if (raw.copy_mem_image(pixels->data(), static_cast<int>(pixels->layout().bytesPerRow), 0) !=
        LIBRAW_SUCCESS)
        return nullptr;
    return std::move(*pixels).finish();
}

std::uint16_t read16(const std::uint8_t *p, bool little) {
    return little ? std::uint16_t(p[0] | p[1] << 8) : std::uint16_t(p[0] << 8 | p[1]);
}
std::uint32_t read32(const std::uint8_t *p, bool little) {
    return little ? std::uint32_t(p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24)
                  : std::uint32_t(std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

} // namespace

bool looksLikeCameraRaw(const ImageData &data) {
    const std::uint8_t *p = data.bytes();
    const std::size_t size = data.size();
    if (size < 16)
        return false;
    const bool little = p[0] == 'I' && p[1] == 'I';
    if (!little && !(p[0] == 'M' && p[1] == 'M'))
        return false;
    if (read16(p + 2, little) != 42)
        return false;
    if (little && p[8] == 'C' && p[9] == 'R' && p[10] == 2)
        return true; // Canon CR2
    const std::uint32_t ifd = read32(p + 4, little);
    if (ifd > size - 2)
        return false;
    const std::uint16_t entries = read16(p + ifd, little);
    constexpr std::uint16_t makeTag = 271, dngVersionTag = 50706;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t entry = ifd + 2 + std::size_t{i} * 12;
        if (entry + 12 > size)
            break;
        const std::uint16_t tag = read16(p + entry, little);
        if (tag == dngVersionTag)
            return true;
        if (tag == makeTag) {
            const std::uint32_t count = read32(p + entry + 4, little);
            const std::size_t at = count <= 4 ? entry + 8 : read32(p + entry + 8, little);
            if (count >= 5 && at <= size - 5 && std::memcmp(p + at, "NIKON", 5) == 0)
                return true;
        }
    }
    return false;
}

std::shared_ptr<BitmapImageRep> decodeCameraRaw(const ImageData &data) {
    if (data.empty())
        return nullptr;
    Problems problems;
    auto raw = makeProcessor(problems);
    if (raw->open_buffer(const_cast<std::uint8_t *>(data.bytes()), data.size()) != LIBRAW_SUCCESS)
        return nullptr;
    return develop(*raw, problems, data.size());
}

} // namespace quintarvel::detail
