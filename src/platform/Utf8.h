#pragma once

#include <string>
#include <string_view>

namespace quintarvel {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence.
bool isValidUtf8(std::string_view bytes);

// The bytes with every sequence that is not valid UTF-8 replaced by U+FFFD, so that a name from
// the file system can be shown in a log line or a JSON answer.
std::string validUtf8(std::string_view bytes);

// Full Unicode lower-casing, then NFC: a key whose byte order sorts texts case-blind. The text
// must be valid UTF-8.
std::string lowercasedNormalized(std::string_view utf8);

} // namespace quintarvel
