#pragma once

// The most a codec shared by several decoders can make of the bytes a file holds for it; private
// to src/platform. Each is an upper bound that every stream the codec decodes stays within, so a
// picture declaring more than that is refused before anything is reserved for it, and no real
// file ever is.

#include <cstdint>

namespace quintarvel::detail {

// Deflate (zlib): nothing yields more than a match of 258 bytes, and a match costs at least two
// bits, a length and a distance code of one bit each; headers, tables and literals only lower
// the ratio. So n bytes inflate to at most 258 × 4n bytes.
constexpr std::uint64_t maxInflatedBytes(std::uint64_t n) {
    return 1032 * n;
}

// Huffman-coded JPEG: a scan codes every 8 × 8 block of each of its components in at least one
// bit (a DC code, even in a progressive file's first scan), so n bytes hold at most 8n blocks of
// any one component. Arithmetic coding can spend less than a bit on a block: it has no bound.
constexpr std::uint64_t maxJpegBlocks(std::uint64_t n) {
    return 8 * n;
}

} // namespace quintarvel::detail
