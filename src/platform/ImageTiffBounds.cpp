#include "platform/ImageTiffBounds.h"

#include "platform/ImageCodecBounds.h"

#include <algorithm>
#include <cstdint>
#include <optional>

// Every strip or tile is a stream of its own codec, decoded from the bytes the file holds for
// it, so its bound applies to each one: a strip is checked against what it stands for.
//
// Strips may point at the same bytes, and each would then count them. So all the strips and
// tiles of a picture together are held to the same bound applied to the whole file: what the
// bound counts (bytes out, JPEG blocks, fax rows, ...), summed over them, is at most what the
// file's bytes can hold. That refuses no file whose strips have bytes of their own: each bound
// `most` is monotonic and superadditive (most(a) + most(b) <= most(a + b): linear, or the floor
// of a linear function), and the strips' bytes together are at most the file's, so
//     sum of counted(i) <= sum of most(held(i)) <= most(sum of held(i)) <= most(file size).
// A file whose strips share bytes passes only where it could hold them apart.

namespace quintarvel::detail {

namespace {

// PackBits: a run header and its byte, two bytes, give at most 128 bytes; a literal gives less
// than it costs.
constexpr std::uint64_t maxUnpackedBytes(std::uint64_t n) {
    return 64 * n;
}

// LZW as TIFF has it, codes of 9 to 12 bits: a code of b bits names one of the table's first 2^b
// entries, and an entry is at most one byte longer than an older one, so its string has at most
// 2^b − 257 bytes. That is under 320 bytes per bit of code at 12 bits, and less at fewer.
constexpr std::uint64_t maxLzwBytes(std::uint64_t n) {
    return 320 * 8 * n;
}

// Zstandard: a block gives at most 128 KiB and costs at least 4 bytes (a run block: a 3-byte
// header and the byte it repeats).
constexpr std::uint64_t maxZstdBytes(std::uint64_t n) {
    return (n / 4) << 17;
}

// xz (LZMA2, the filters before it keep lengths): a chunk gives at most 2 MiB and costs at least
// 6 bytes (control byte, both sizes, one byte of data).
constexpr std::uint64_t maxXzBytes(std::uint64_t n) {
    return (n / 6) << 21;
}

// ThunderScan: a byte gives at most 63 pixels of 4 bits.
constexpr std::uint64_t maxThunderScanBytes(std::uint64_t n) {
    return 32 * n;
}

// SGI LogLuv: each pixel has at least two byte planes, and two bytes of a plane give at most 129
// of its samples.
constexpr std::uint64_t maxLogLuvPixels(std::uint64_t n) {
    return 129 * n / 4;
}

std::uint64_t jpegBlocks(std::uint64_t wide, std::uint64_t high) {
    return ((wide + 7) / 8) * ((high + 7) / 8);
}

// What the first frame header of a JPEG stream declares.
struct JpegFrame {
    bool arithmetic = false;
    std::uint64_t wide = 0, high = 0;
    // Those of all its components together, as libjpeg sizes them.
    std::uint64_t blocks = 0;
};

// The first frame header of a JPEG stream; nothing when it lies beyond the first `budget` bytes,
// when the stream's bytes end within it, or when libjpeg would refuse its sampling. A stream
// without one declares nothing (libjpeg refuses it). The bytes looked through are taken from
// `budget`. Markers are found as libjpeg finds them: bytes before a 0xFF are skipped, and so are
// fill bytes.
std::optional<JpegFrame> jpegFrame(const std::uint8_t *p, std::uint64_t n, std::uint64_t &budget) {
    const std::uint64_t end = std::min(n, budget);
    std::uint64_t i = 0;
    const auto verdict = [&](std::optional<JpegFrame> frame) {
        budget -= std::min(i, end);
        return frame;
    };
    while (i + 1 < end) {
        if (p[i] != 0xFF || p[i + 1] == 0xFF) {
            ++i;
            continue;
        }
        const std::uint8_t marker = p[i + 1];
        i += 2;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue; // no length follows
        if (marker == 0xD9 || marker == 0xDA)
            return verdict(JpegFrame{}); // the image ends, or a scan begins, before any frame
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            // Length, precision, height, width, count, then three bytes a component.
            const std::uint64_t header = i;
            i = std::min(end, i + 8);
            if (header + 8 > end)
                return verdict(std::nullopt);
            const std::uint64_t count = p[header + 7];
            i = std::min(end, header + 8 + 3 * count);
            if (count == 0 || header + 8 + 3 * count > end)
                return verdict(std::nullopt);
            JpegFrame frame;
            frame.arithmetic = marker >= 0xC9;
            frame.high = std::uint64_t{p[header + 3]} << 8 | p[header + 4];
            frame.wide = std::uint64_t{p[header + 5]} << 8 | p[header + 6];
            std::uint64_t mostAcross = 1, mostDown = 1;
            for (std::uint64_t c = 0; c < count; ++c) {
                const std::uint8_t sampling = p[header + 8 + 3 * c + 1];
                if (sampling >> 4 < 1 || sampling >> 4 > 4 || (sampling & 15) < 1 ||
                    (sampling & 15) > 4)
                    return verdict(std::nullopt);
                mostAcross = std::max<std::uint64_t>(mostAcross, sampling >> 4);
                mostDown = std::max<std::uint64_t>(mostDown, sampling & 15);
            }
            for (std::uint64_t c = 0; c < count; ++c) {
                const std::uint8_t sampling = p[header + 8 + 3 * c + 1];
                const auto blocks = [](std::uint64_t samples, std::uint64_t own,
                                       std::uint64_t most) {
                    return (samples * own + 8 * most - 1) / (8 * most);
                };
                frame.blocks += blocks(frame.wide, sampling >> 4, mostAcross) *
                                blocks(frame.high, sampling & 15, mostDown);
            }
            return verdict(frame);
        }
        if (i + 1 >= end)
            break;
        i += std::uint64_t{p[i]} << 8 | p[i + 1];
    }
    return verdict(end == n ? std::optional<JpegFrame>(JpegFrame{}) : std::nullopt);
}

// A JBIG stream's own header (BIH), the first 20 bytes of each strip: the library reserves
// planes × rows × bytes a row of it for the picture it declares, and more for its lower
// resolution layers, before libtiff compares what it decoded with the strip.
struct JbigHeader {
    std::uint64_t planes = 0, wide = 0, high = 0;
};
constexpr std::uint64_t jbigHeaderBytes = 20;

// `reversed`: the strip's bits are stored last first, and libtiff reverses them for the library.
JbigHeader jbigHeader(const std::uint8_t *p, bool reversed) {
    std::uint8_t h[jbigHeaderBytes];
    std::copy(p, p + jbigHeaderBytes, h);
    if (reversed)
        TIFFReverseBits(h, jbigHeaderBytes);
    const auto big32 = [&](int at) {
        return std::uint64_t{h[at]} << 24 | std::uint64_t{h[at + 1]} << 16 |
               std::uint64_t{h[at + 2]} << 8 | h[at + 3];
    };
    return {h[2], big32(4), big32(8)};
}

// One strip or tile: its pixels (of its plane), the bytes its codec gives for them and the bytes
// the file holds for it.
struct Segment {
    std::uint64_t wide = 0, high = 0, bytes = 0, heldBytes = 0;
};

constexpr std::uint64_t asMany(std::uint64_t n) {
    return n;
}
constexpr std::uint64_t eightTimes(std::uint64_t n) {
    return 8 * n;
}

// A codec's bound over a strip or tile: what it counts of it, and the most of that n bytes of
// the codec's stream can stand for.
struct Bound {
    std::uint64_t counted;
    std::uint64_t (*most)(std::uint64_t n);
};

// Nothing for codecs that have no bound.
std::optional<Bound> boundOf(std::uint16_t compression, const Segment &s) {
    switch (compression) {
    case COMPRESSION_NONE:
        return Bound{s.bytes, asMany};
    case COMPRESSION_PACKBITS:
        return Bound{s.bytes, maxUnpackedBytes};
    case COMPRESSION_LZW:
        return Bound{s.bytes, maxLzwBytes};
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    // Deflate of 16-bit values, which libtiff gives as 8- or 16-bit samples.
    case COMPRESSION_PIXARLOG:
        return Bound{s.bytes, maxInflatedBytes};
    case COMPRESSION_ZSTD:
        return Bound{s.bytes, maxZstdBytes};
    case COMPRESSION_LZMA:
        return Bound{s.bytes, maxXzBytes};
    case COMPRESSION_THUNDERSCAN:
        return Bound{s.bytes, maxThunderScanBytes};
    // Huffman coding: the luminance at full size, or more (see below); a strip that is
    // arithmetic-coded says so in its own frame header.
    case COMPRESSION_JPEG:
        return Bound{jpegBlocks(s.wide, s.high), maxJpegBlocks};
    // Fax codes: a row takes at least one bit, but a row like the one above takes one bit
    // however wide it is.
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTRLEW:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
        return Bound{s.high, eightTimes};
    // NeXT: a row takes at least one byte; a span of it, five, however wide it is.
    case COMPRESSION_NEXT:
        return Bound{s.high, asMany};
    case COMPRESSION_SGILOG:
    case COMPRESSION_SGILOG24:
        return Bound{s.wide * s.high, maxLogLuvPixels};
    default:
        // JBIG (arithmetic coding), WebP and LERC can code a whole strip in a few bytes.
        return std::nullopt;
    }
}

} // namespace

bool tiffHoldsPicture(TIFF *tif, const ImageData &data) {
    std::uint32_t width = 0, height = 0;
    std::uint16_t compression = COMPRESSION_NONE, photometric = 0, planar = PLANARCONFIG_CONTIG;
    std::uint16_t samples = 1, bits = 1, fillOrder = FILLORDER_MSB2LSB;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
    if (width == 0 || height == 0 || !TIFFIsCODECConfigured(compression))
        return false;
    // Old-style JPEG finds its data in several ways, strips or not, but it is one Huffman-coded
    // stream of the file's bytes that codes the luminance at full size.
    if (compression == COMPRESSION_OJPEG)
        return jpegBlocks(width, height) <= maxJpegBlocks(data.size());

    const bool tiled = TIFFIsTiled(tif);
    std::uint32_t blockWide = width, blockHigh = height;
    if (tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &blockWide);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &blockHigh);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &blockHigh);
        blockHigh = std::clamp<std::uint32_t>(blockHigh, 1, height);
    }
    if (blockWide == 0 || blockHigh == 0)
        return false;
    const std::uint64_t across = (std::uint64_t{width} + blockWide - 1) / blockWide;
    const std::uint64_t down = (std::uint64_t{height} + blockHigh - 1) / blockHigh;
    const std::uint64_t perPlane = across * down;
    const std::uint64_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    // What the codec gives for a whole strip or tile, and for a plane's last strip, which may
    // have fewer rows.
    const std::uint64_t fullBytes = tiled ? TIFFTileSize64(tif) : TIFFVStripSize64(tif, blockHigh);
    const std::uint32_t lastRows = height - std::uint32_t((down - 1) * blockHigh);
    const std::uint64_t lastBytes = tiled ? fullBytes : TIFFVStripSize64(tif, lastRows);
    if (count < perPlane || fullBytes == 0 || lastBytes == 0)
        return false;
    // A chroma plane of its own is coded subsampled; in interleaved data the luminance, coded
    // first, is at full size.
    std::uint16_t subWide = 1, subHigh = 1;
    if (photometric == PHOTOMETRIC_YCBCR && planar == PLANARCONFIG_SEPARATE)
        TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &subWide, &subHigh);
    subWide = std::max<std::uint16_t>(subWide, 1);
    subHigh = std::max<std::uint16_t>(subHigh, 1);
    // A strip or tile without a bound is held to the fixed ceilings, which are the whole
    // picture's: its buffer is reserved at once. What is reserved is that bitmap, at most four
    // bytes a pixel (8-bit RGBA, or libtiff's RGBA reader) or six (16-bit RGB), and what decoding
    // a strip or tile takes. Contiguous samples: our copy of it, and the codec's (LERC reserves a
    // third more for its second stage, and a byte a pixel for a mask; libjpeg two bytes a sample;
    // WebP and JBIG the strip's pixels once more): four times the strip. Separate planes: the
    // same of one plane's strip, or libtiff's RGBA reader holding the strips of up to four planes
    // at once, never more of them.
    const bool separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
    const std::uint64_t copies = 4 + (separate ? std::min<std::uint64_t>(samples, 4) : 0);
    const bool withinCeiling =
        withinUnboundedCeiling(width, height) && withinUnboundedBytes(fullBytes) &&
        withinUnboundedBytes(std::uint64_t{width} * height * (bits == 16 ? 6 : 4) +
                             copies * fullBytes);
    // Frame headers are looked for in no more bytes, all strips together, than the file holds:
    // strips that share their bytes would otherwise have them read again for each one.
    std::uint64_t headerBudget = data.size();
    // What the strips' bound counts, summed over those that have one (see the top of the file).
    std::uint64_t counted = 0;
    const std::uint64_t headerSize = TIFFIsBigTIFF(tif) ? 16 : 8;

    for (std::uint64_t i = 0; i < count; ++i) {
        const auto index = static_cast<std::uint32_t>(i);
        const bool last = !tiled && i % perPlane == perPlane - 1;
        Segment s;
        s.wide = blockWide;
        s.high = last ? lastRows : blockHigh;
        s.bytes = last ? lastBytes : fullBytes;
        if (i >= perPlane) {
            s.wide = (s.wide + subWide - 1) / subWide;
            s.high = (s.high + subHigh - 1) / subHigh;
        }
        const std::uint64_t offset = TIFFGetStrileOffset(tif, index);
        s.heldBytes =
            offset >= headerSize && offset < data.size()
                ? std::min<std::uint64_t>(TIFFGetStrileByteCount(tif, index), data.size() - offset)
                : 0;
        // Nothing decodes from no bytes: a strip or tile missing from the file leaves part of
        // the picture uncovered. One that begins in the header is missing too: that offset is
        // libtiff's fill for entries its arrays lack.
        if (s.heldBytes == 0)
            return false;
        std::optional<Bound> bound = boundOf(compression, s);
        bool fits = bound ? bound->counted <= bound->most(s.heldBytes) : withinCeiling;
        // Each JPEG strip or tile is coded as its own bytes say, whatever the others are, and
        // libjpeg reserves for every component of its frame header, coded or not. With Huffman
        // coding, a strip that decodes whole codes every block of each component in a bit at
        // least, so the blocks of all of them count, as they do in a JPEG file. An
        // arithmetic-coded strip has no bound and leaves the sum; it is held to the ceiling, which
        // counts a whole strip: libtiff refuses a frame larger than its strip or tile before
        // libjpeg reserves, but for a plane's last strip, whose frame may be as high as a whole
        // one. A header past the budget is refused.
        if (compression == COMPRESSION_JPEG) {
            const auto frame = jpegFrame(data.bytes() + offset, s.heldBytes, headerBudget);
            if (!frame)
                return false;
            if (frame->arithmetic) {
                const std::uint64_t wholeHigh =
                    i >= perPlane ? (blockHigh + subHigh - 1) / subHigh : blockHigh;
                bound.reset();
                fits = withinCeiling && frame->wide <= s.wide && frame->high <= wholeHigh;
            } else {
                bound->counted = std::max(bound->counted, frame->blocks);
                fits = bound->counted <= bound->most(s.heldBytes);
            }
        }
        // JBIG: the library reserves by the strip's own header, so that header must lie within
        // the strip's bytes and describe no more than the strip: libtiff refuses a strip that
        // decodes to more than it, and warns (refused by the reader) of one that decodes to less,
        // after the reservation. Its planes beyond the first are reserved and dropped.
        if (compression == COMPRESSION_JBIG) {
            if (s.heldBytes < jbigHeaderBytes || headerBudget < jbigHeaderBytes)
                return false;
            headerBudget -= jbigHeaderBytes;
            const JbigHeader h = jbigHeader(data.bytes() + offset, fillOrder == FILLORDER_MSB2LSB);
            const std::uint64_t stripBits = separate ? bits : std::uint64_t{bits} * samples;
            if (h.planes > stripBits || h.wide > s.wide || h.high > s.high)
                return false;
        }
        if (!fits)
            return false;
        if (bound) {
            counted += bound->counted;
            if (counted > bound->most(data.size()))
                return false;
        }
    }
    return true;
}

} // namespace quintarvel::detail
