#pragma once

#include <string>
#include <string_view>

namespace quintarvel {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence.
bool isValidUtf8(std::string_view bytes);

// Full Unicode lower-casing, then NFC: a key whose byte order sorts texts case-blind. The text
// must be valid UTF-8.
std::string lowercasedNormalized(std::string_view utf8);

} // namespace quintarvel
