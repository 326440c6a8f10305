#include "platform/Utf8.h"

#include <cstddef>
#include <cstdint>

#include <glib.h>

namespace quintarvel {

bool isValidUtf8(std::string_view bytes) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0)
                low = 0xA0; // overlong
            if (b == 0xED)
                high = 0x9F; // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0)
                low = 0x90; // overlong
            if (b == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (n - i < length || p[i + 1] < low || p[i + 1] > high)
            return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

std::string validUtf8(std::string_view bytes) {
    gchar *valid = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
    std::string result(valid);
    g_free(valid);
    return result;
}

std::string lowercasedNormalized(std::string_view utf8) {
    gchar *lower = g_utf8_strdown(utf8.data(), static_cast<gssize>(utf8.size()));
    gchar *normal = g_utf8_normalize(lower, -1, G_NORMALIZE_NFC);
    std::string key = normal != nullptr ? normal : lower;
    g_free(normal);
    g_free(lower);
    return key;
}

} // namespace quintarvel
