#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quintarvel {

// Standard Base64 (RFC 4648 alphabet), padded with "=" to a multiple of four characters, without
// line breaks. No bytes give the empty text.
std::string base64Text(std::span<const std::uint8_t> bytes);

// Removes one pair of surrounding double quotes: a text of at least two characters that begins
// and ends with '"' loses those two; anything else comes back unchanged. Inner quotes stay and
// nothing is unescaped. A quote is one byte in UTF-8 and never part of another character, so
// working on bytes equals working on Unicode scalars.
std::string stripSurroundingQuotes(std::string_view text);

// The byte itself when it is tab, line feed, vertical tab, form feed, carriage return or blank;
// no value otherwise.
std::optional<std::uint8_t> isWhitespaceByte(std::uint8_t byte);

} // namespace quintarvel
