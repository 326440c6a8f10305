#pragma once

// The most a codec shared by several decoders can make of the bytes a file holds for it; private
// to src/platform. Each is an upper bound that every stream the codec decodes stays within, so a
// picture declaring more than that is refused before anything is reserved for it, and no real
// file ever is. Codecs without such a bound are held to a fixed picture ceiling instead.

#include <cstdint>

namespace quintarvel::detail {

// Deflate (zlib): nothing yields more than a match of 258 bytes, and a match costs at least two
// bits, a length and a distance code of one bit each; headers, tables and literals only lower
// the ratio. So n bytes inflate to at most 258 × 4n bytes.
constexpr std::uint64_t maxInflatedBytes(std::uint64_t n) {
    return 1032 * n;
}

// Huffman-coded JPEG: a scan codes every 8 × 8 block of each of its components in at least one
// bit (a DC code, even in a progressive file's first scan), and a stream that decodes whole codes
// each component of its frame in some scan, so n bytes hold at most 8n blocks of all of them
// together. Arithmetic coding can spend less than a bit on a block: it has no bound.
constexpr std::uint64_t maxJpegBlocks(std::uint64_t n) {
    return 8 * n;
}

// Arithmetic-coded JPEG, JBIG, WebP, LERC and some camera raw codecs can code a whole picture in a
// few bytes, so a few bytes could reserve gigabytes. Through them a picture of more than this is
// refused: that is above every real one they carry (the largest astronomy and medium-format
// sensors have about 151 megapixels, high-resolution composite raws about 190).
constexpr std::uint64_t maxUnboundedPixels = 200'000'000;

constexpr bool withinUnboundedCeiling(std::uint64_t wide, std::uint64_t high) {
    return high == 0 || wide <= maxUnboundedPixels / high;
}

// What a decoder reserves at once for a picture through such a codec is held to ten bytes for
// each of those pixels, room for what the decoders here hold for a real picture at that size:
// LibRaw ten (its 16-bit raw pixel and the four 16-bit samples it develops it into), a
// progressive JPEG of three full-size components nine (two bytes a coefficient of each, and the
// RGB it gives), a 16-bit RGB TIFF six and a few copies of the strip it decodes. Pixels alone
// would not do: a TIFF's strip may hold many samples a pixel, decoded whole and then dropped.
constexpr std::uint64_t maxUnboundedBytes = 10 * maxUnboundedPixels;

constexpr bool withinUnboundedBytes(std::uint64_t reserved) {
    return reserved <= maxUnboundedBytes;
}

} // namespace quintarvel::detail
