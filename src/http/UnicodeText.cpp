#include "http/UnicodeText.h"

#include <locale.h>
#include <optional>
#include <wctype.h>

namespace quintarvel::text {

namespace {

struct Decoded {
    char32_t codePoint;
    std::size_t length; // 0 when the bytes at that position are not valid UTF-8
};

// Decodes one strict UTF-8 sequence at `pos`.
Decoded decodeAt(std::string_view s, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length;
    char32_t cp;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return {0, 0};
    }
    if (pos + length > s.size()) {
        return {0, 0};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char c = byte(pos + i);
        if ((c & 0xC0) != 0x80) {
            return {0, 0};
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return {0, 0};
    }
    return {cp, length};
}

// Start of the last character before `end`: a valid sequence of up to four bytes, else one byte.
Decoded decodeBefore(std::string_view s, std::size_t end) {
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        const Decoded d = decodeAt(s, end - length);
        if (d.length == length) {
            return d;
        }
    }
    return {0, 0};
}

// The C.UTF-8 locale carries glibc's Unicode case tables; created once, never freed.
locale_t unicodeLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return locale;
}

char32_t toLower(char32_t cp) {
    if (cp < 0x80) {
        return (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
    }
    if (const locale_t locale = unicodeLocale()) {
        return static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale));
    }
    // Without the locale, Latin-1 (all a request line can hold) is still mapped.
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) {
        return cp + 0x20;
    }
    return cp;
}

} // namespace

bool isWhitespace(char32_t cp) {
    return cp == 0x09 || cp == 0x20 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string trimWhitespace(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        const Decoded d = decodeAt(s, begin);
        if (d.length == 0 || !isWhitespace(d.codePoint)) {
            break;
        }
        begin += d.length;
    }
    std::size_t end = s.size();
    while (end > begin) {
        const Decoded d = decodeBefore(s, end);
        if (d.length == 0 || !isWhitespace(d.codePoint)) {
            break;
        }
        end -= d.length;
    }
    return std::string(s.substr(begin, end - begin));
}

std::string lowercased(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (pos < s.size()) {
        const Decoded d = decodeAt(s, pos);
        if (d.length == 0) {
            out.push_back(s[pos]);
            ++pos;
            continue;
        }
        appendUtf8(out, toLower(d.codePoint));
        pos += d.length;
    }
    return out;
}

std::vector<std::string> splitKeepingEmpty(std::string_view s, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = s.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.emplace_back(s.substr(start));
            return pieces;
        }
        pieces.emplace_back(s.substr(start, at - start));
        start = at + 1;
    }
}

void appendUtf8(std::string &out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace quintarvel::text
