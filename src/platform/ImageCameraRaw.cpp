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
#include <numeric>
#include <optional>
#include <string_view>
#include <vector>

namespace quintarvel::detail {

namespace {

std::uint16_t read16(const std::uint8_t *p, bool little) {
    return little ? std::uint16_t(p[0] | p[1] << 8) : std::uint16_t(p[0] << 8 | p[1]);
}
std::uint32_t read32(const std::uint8_t *p, bool little) {
    return little ? std::uint32_t(p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24)
                  : std::uint32_t(std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

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

// Lossless JPEG as LibRaw decodes it (`lossless_dng_load_raw`, `lossless_jpeg_load_raw`) costs
// what its frame headers declare, not what its data holds: every declared row is decoded, from
// zero bits past the data, or from codes of no bits where a Huffman table leaves codes unused.
// So each frame header is read before `unpack`, from where LibRaw will read it and as its
// `ljpeg_start` does, and held to two bounds no real file exceeds:
// - a frame declares no more samples than the tile, or the raw picture, it fills;
// - an encoder spends a Huffman code of at least one bit on every sample (on every block of
//   8 × 8 in a DNG frame of DCT coding, which LibRaw decodes too), so a frame declares at most 8
//   of them per byte after its header, and all frames together at most 8 per byte of the file,
//   since real frames do not share their data.
// LibRaw then decodes at most 8 samples or blocks per byte of the file, and reads at most twice
// the file looking for restart markers (below). A frame header that is not all in the file, or that
// LibRaw would not read, refuses the picture: LibRaw leaves the rest black.

struct Frame {
    std::uint64_t samples = 0; // rows × columns × components, as LibRaw counts them
    std::uint64_t blocks = 0;  // of 8 × 8 samples, whole ones, as LibRaw decodes a DCT frame
    std::size_t scan = 0;      // where its coded data begins
    std::uint64_t looks = 0;   // rows at which LibRaw looks for a restart marker
    bool lossless = true;      // whether it is of lossless coding (or of DCT coding)
};

// Each segment's body is read over the last one's into 64 KiB that start as zeros for each
// frame, as LibRaw does: a short frame header takes the rest of its values from what came
// before. Only the bytes a frame wrote are cleared for the next, so reading costs what is read.
struct SegmentBody {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(0x10000);
    std::size_t written = 0;
};

// The frame header of the lossless JPEG stream at `at`, read as LibRaw's `ljpeg_start` reads it:
// segments back to back after the start of image up to the start of scan, the last frame header
// counting, a component sampled more than once counting more. Headers are read from no more
// bytes, all frames together, than `budget`, which loses those read: real frames each have bytes
// of their own, and frames that share theirs would otherwise have them read again for each one.
std::optional<Frame> frameAt(const ImageData &data, std::uint64_t at, bool dng,
                             std::uint64_t &budget, SegmentBody &segment) {
    const std::uint8_t *p = data.bytes();
    const std::size_t size = data.size();
    if (at > size || size - at < 2 || p[at + 1] != 0xD8)
        return std::nullopt;
    std::fill_n(segment.bytes.begin(), segment.written, 0);
    segment.written = 0;
    const std::uint8_t *body = segment.bytes.data();
    std::size_t i = at + 2;
    int bits = 0, high = 0, wide = 0, components = 0, subsampled = 0, restart = INT_MAX;
    unsigned coding = 0;
    for (int segments = 0;; ++segments) {
        if (segments > 1024 || size - i < 4)
            return std::nullopt;
        const unsigned marker = p[i] << 8 | p[i + 1];
        const unsigned field = p[i + 2] << 8 | p[i + 3];
        i += 4;
        // A length below its own two bytes is no segment: LibRaw would read it as a negative
        // count, on through the rest of the file into its 64 KiB.
        if (marker <= 0xFF00 || field < 2)
            return std::nullopt;
        const std::size_t length = field - 2;
        if (size - i < length || i + length - at > budget)
            return std::nullopt;
        std::copy_n(p + i, length, segment.bytes.begin());
        segment.written = std::max(segment.written, length);
        i += length;
        switch (marker) {
        case 0xFFC3:
            subsampled = ((body[7] >> 4) * (body[7] & 15) - 1) & 3;
            [[fallthrough]];
        case 0xFFC1:
        case 0xFFC0:
            coding = marker;
            bits = body[0];
            high = body[1] << 8 | body[2];
            wide = body[3] << 8 | body[4];
            components = body[5] + subsampled;
            if (length == 9 && !dng && i < size)
                ++i; // LibRaw skips a byte after such a header outside DNG
            break;
        case 0xFFDA:
            bits -= body[3 + body[0] * 2] & 15;
            break;
        case 0xFFDD:
            restart = body[0] << 8 | body[1];
            break;
        }
        if (marker == 0xFFDA)
            break;
    }
    if (i - at > budget)
        return std::nullopt;
    budget -= i - at;
    if (bits > 16 || components > 6 || bits == 0 || high == 0 || wide == 0 || components == 0)
        return std::nullopt;
    // LibRaw looks at each row after the first whose first sample begins an interval: where the
    // row's number times the width, an int, is a multiple of the interval. Past what an int holds
    // that is any row.
    const std::uint64_t looks = restart == 0 ? 0
                                : std::uint64_t(high) * std::uint64_t(wide) > INT_MAX
                                    ? std::uint64_t(high - 1)
                                    : std::uint64_t(high - 1) / (restart / std::gcd(wide, restart));
    return Frame{std::uint64_t(high) * std::uint64_t(wide) * std::uint64_t(components),
                 std::uint64_t(high / 8) * std::uint64_t(wide / 8), i, looks, coding == 0xFFC3};
}

// With restart intervals LibRaw, at each look, reads on for a marker 0xFF 0xD0 to 0xDF from
// where decoding stopped, to the end of the file if it has none; decoding stops at any marker. So
// it reads no further than the marker after the one its last look finds, counted from its coded
// data's first byte but one. A real frame has a marker of its own for each look and ends with one,
// and the next frame begins with one: all frames together reach no further than twice the file.
// Whether the `count`th such marker from `from` is within `reach`, which loses the bytes to it.
bool withinReach(const ImageData &data, std::size_t from, std::uint64_t count,
                 std::uint64_t &reach) {
    const std::uint8_t *p = data.bytes();
    const std::size_t end = std::min<std::uint64_t>(data.size(), from + reach);
    std::size_t i = from;
    for (; i < end && count > 0; ++i)
        if (p[i] == 0xFF && i + 1 < data.size() && (p[i + 1] & 0xF0) == 0xD0)
            --count;
    if (count > 0 && i < data.size())
        return false;
    reach -= i - from;
    return true;
}

// Whether the lossless JPEG frames LibRaw will decode for this picture keep to the bounds above;
// pictures of other codecs pass. The frames are found as LibRaw's decoders find them: one at
// the raw data's offset (a DNG in strips: one for each tile width across, 4 bytes apart), or, in
// a tiled DNG, one at each offset of the array there, for each tile of the raw picture.
bool framesHeldByFile(LibRaw &raw, const ImageData &data) {
    const char *name = raw.unpack_function_name();
    const std::string_view decoder = name ? name : "";
    const bool dng = decoder == "lossless_dng_load_raw()";
    if (!dng && decoder != "lossless_jpeg_load_raw()")
        return true;
    const auto &unpacker = raw.get_internal_data_pointer()->unpacker_data;
    const std::uint64_t rawWide = raw.imgdata.sizes.raw_width;
    const std::uint64_t rawHigh = raw.imgdata.sizes.raw_height;
    const std::uint64_t size = data.size();
    if (unpacker.data_offset < 0 || std::uint64_t(unpacker.data_offset) > size)
        return false;
    const std::uint64_t start = std::uint64_t(unpacker.data_offset);
    std::uint64_t budget = size, allCoded = 0, reach = 2 * size;
    SegmentBody segment;
    const auto held = [&](std::uint64_t at, std::uint64_t filled) {
        const std::optional<Frame> frame =
            frameAt(data, at, raw.imgdata.idata.dng_version != 0, budget, segment);
        if (!frame)
            return false;
        // LibRaw decodes a DNG frame of DCT coding as blocks, any other as lossless samples.
        const std::uint64_t coded = dng && !frame->lossless ? frame->blocks : frame->samples;
        if (frame->samples > filled || coded > 8 * (size - frame->scan) ||
            (frame->looks > 0 && !withinReach(data, frame->scan - 1, frame->looks + 2, reach)))
            return false;
        allCoded += coded;
        return allCoded <= 8 * size;
    };
    // Past the raw picture's last row LibRaw stops with an error, and a row more it drops. Canon's
    // slices only reorder the frame's samples, but LibRaw divides by their widths.
    if (!dng) {
        const auto &slices = unpacker.cr2_slice;
        return (slices[0] == 0 || (slices[1] != 0 && slices[2] != 0)) &&
               held(start, rawWide * (rawHigh + 1));
    }

    // Rows of a tile wrap at its width; a DNG in strips has one tile's width (of all the
    // picture, unless a tile width is given) and all its rows. A tile at the picture's right or
    // bottom edge is whole, reaching past it.
    const bool tiled = unpacker.tile_length < INT_MAX;
    const std::uint64_t tileWide = unpacker.tile_width, tileHigh = unpacker.tile_length;
    if (tileWide == 0 || tileHigh == 0)
        return false;
    const std::uint64_t across = (rawWide + tileWide - 1) / tileWide;
    const std::uint64_t down = tiled ? (rawHigh + tileHigh - 1) / tileHigh : 1;
    // No frame declares 2^40 samples: a tile of more is as good as unbounded.
    const std::uint64_t pixels =
        tiled ? tileWide * tileHigh : std::min(tileWide, rawWide) * rawHigh;
    const std::uint64_t filled = std::min<std::uint64_t>(pixels, std::uint64_t{1} << 40) *
                                 std::clamp(unpacker.tiff_samples, 1u, 8u);
    for (std::uint64_t tile = 0; tile < across * down; ++tile) {
        std::uint64_t at = start + 4 * tile;
        if (tiled) {
            if (at + 4 > size)
                return false;
            at = read32(data.bytes() + at, unpacker.order == 0x4949);
        }
        if (!held(at, filled))
            return false;
    }
    return true;
}

std::shared_ptr<BitmapImageRep> develop(LibRaw &raw, const Problems &problems,
                                        const ImageData &data) {
    const std::size_t fileBytes = data.size();
    const auto &sizes = raw.imgdata.sizes;
    const std::optional<Size> developed = developedSize(raw);
    if (!developed || !pixelCountAllowed(sizes.raw_width, sizes.raw_height) ||
        !pixelCountAllowed(sizes.width, sizes.height) ||
        !pixelCountAllowed(static_cast<std::int64_t>(developed->wide),
                           static_cast<std::int64_t>(developed->high)) ||
        !fileHoldsPicture(raw, *developed, fileBytes) || !framesHeldByFile(raw, data))
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
    return develop(*raw, problems, data);
}

} // namespace quintarvel::detail
