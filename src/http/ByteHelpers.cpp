#include "http/ByteHelpers.h"

namespace quintarvel {

std::string base64Text(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        text.push_back(alphabet[(group >> 18) & 0x3f]);
        text.push_back(alphabet[(group >> 12) & 0x3f]);
        text.push_back(alphabet[(group >> 6) & 0x3f]);
        text.push_back(alphabet[group & 0x3f]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            group |= std::uint32_t{bytes[i + 1]} << 8;
        }
        text.push_back(alphabet[(group >> 18) & 0x3f]);
        text.push_back(alphabet[(group >> 12) & 0x3f]);
        text.push_back(rest == 2 ? alphabet[(group >> 6) & 0x3f] : '=');
        text.push_back('=');
    }
    return text;
}

std::string stripSurroundingQuotes(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return std::string(text.substr(1, text.size() - 2));
    }
    return std::string(text);
}

std::optional<std::uint8_t> isWhitespaceByte(std::uint8_t byte) {
    switch (byte) {
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 32:
        return byte;
    default:
        return std::nullopt;
    }
}

} // namespace quintarvel
