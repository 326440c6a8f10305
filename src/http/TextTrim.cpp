#include "http/TextTrim.h"

namespace quintarvel {

namespace {

// Length of the white-space character at the start of `text`, 0 when there is none.
std::size_t leadingWhitespaceLength(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (byte(0) == '\t' || byte(0) == ' ') {
        return 1;
    }
    if (text.size() >= 2 && byte(0) == 0xC2 && byte(1) == 0xA0) {
        return 2;
    }
    if (text.size() < 3) {
        return 0;
    }
    const unsigned code = (byte(0) << 16) | (byte(1) << 8) | byte(2);
    const bool space = code == 0xE19A80                          // U+1680
                       || (code >= 0xE28080 && code <= 0xE2808A) // U+2000..U+200A
                       || code == 0xE280AF                       // U+202F
                       || code == 0xE2819F                       // U+205F
                       || code == 0xE38080;                      // U+3000
    return space ? 3 : 0;
}

// Length of the white-space character at the end of `text`, 0 when there is none.
std::size_t trailingWhitespaceLength(std::string_view text) {
    for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
        if (leadingWhitespaceLength(text.substr(text.size() - length)) == length) {
            return length;
        }
    }
    return 0;
}

} // namespace

std::string_view trimWhitespace(std::string_view text) {
    while (const std::size_t length = leadingWhitespaceLength(text)) {
        text.remove_prefix(length);
    }
    while (const std::size_t length = trailingWhitespaceLength(text)) {
        text.remove_suffix(length);
    }
    return text;
}

} // namespace quintarvel
