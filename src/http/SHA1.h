#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quintarvel {

// SHA-1 (FIPS 180). The WebSocket handshake needs it for its accept key; it is not used for
// anything that relies on collision resistance.
struct SHA1 {
    static constexpr std::size_t digestSize = 20;
    using Digest = std::array<std::uint8_t, digestSize>;

    // Inputs of 2^61 bytes or more would overflow the 64-bit bit count; no byte array in this
    // process comes near that.
    static Digest digest(std::span<const std::uint8_t> message);
};

// SHA-1 of the text's UTF-8 bytes.
SHA1::Digest sha1Digest(std::string_view text);

// SHA-1 of the text's UTF-8 bytes as 40 lower-case hexadecimal digits.
std::string sha1Hex(std::string_view text);

} // namespace quintarvel
