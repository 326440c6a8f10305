#include "http/SHA1.h"

#include <bit>
#include <cstring>

namespace quintarvel {

namespace {

constexpr std::size_t blockSize = 64;

std::uint32_t readBigEndian32(const std::uint8_t *bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void compressBlock(std::array<std::uint32_t, 5> &hash, const std::uint8_t *block) {
    std::array<std::uint32_t, 80> w{};
    for (std::size_t t = 0; t < 16; ++t) {
        w[t] = readBigEndian32(block + 4 * t);
    }
    for (std::size_t t = 16; t < 80; ++t) {
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }

    std::uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3], e = hash[4];
    for (std::size_t t = 0; t < 80; ++t) {
        std::uint32_t f = 0;
        std::uint32_t k = 0;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const std::uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = temp;
    }
    hash[0] += a;
    hash[1] += b;
    hash[2] += c;
    hash[3] += d;
    hash[4] += e;
}

} // namespace

SHA1::Digest SHA1::digest(std::span<const std::uint8_t> message) {
    std::array<std::uint32_t, 5> hash{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

    // Whole blocks straight from the message; only the tail is copied for padding.
    const std::size_t wholeBlocks = message.size() / blockSize;
    for (std::size_t i = 0; i < wholeBlocks; ++i) {
        compressBlock(hash, message.data() + i * blockSize);
    }

    // The tail, 0x80, zeros up to 56 modulo 64, then the bit length: one or two blocks.
    std::array<std::uint8_t, 2 * blockSize> tail{};
    const std::size_t rest = message.size() - wholeBlocks * blockSize;
    if (rest > 0) {
        std::memcpy(tail.data(), message.data() + wholeBlocks * blockSize, rest);
    }
    tail[rest] = 0x80;
    const std::size_t tailSize = rest < 56 ? blockSize : 2 * blockSize;
    const std::uint64_t bitCount = static_cast<std::uint64_t>(message.size()) * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bitCount >> (8 * i));
    }
    for (std::size_t offset = 0; offset < tailSize; offset += blockSize) {
        compressBlock(hash, tail.data() + offset);
    }

    Digest result{};
    for (std::size_t i = 0; i < hash.size(); ++i) {
        result[4 * i] = static_cast<std::uint8_t>(hash[i] >> 24);
        result[4 * i + 1] = static_cast<std::uint8_t>(hash[i] >> 16);
        result[4 * i + 2] = static_cast<std::uint8_t>(hash[i] >> 8);
        result[4 * i + 3] = static_cast<std::uint8_t>(hash[i]);
    }
    return result;
}

SHA1::Digest sha1Digest(std::string_view text) {
    return SHA1::digest(
        std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

std::string sha1Hex(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * SHA1::digestSize);
    for (const std::uint8_t byte : sha1Digest(text)) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
}

} // namespace quintarvel
