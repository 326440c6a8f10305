#pragma once

#include <string_view>

namespace quintarvel {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence.
bool isValidUtf8(std::string_view bytes);

} // namespace quintarvel
