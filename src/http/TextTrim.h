#pragma once

#include <string_view>

namespace quintarvel {

// The server's one notion of trimming, for header values, form-data pieces and WebSocket
// handshake fields: removes from both ends of UTF-8 text the tab and every Unicode space
// separator (category Zs: the blank, U+00A0, U+1680, U+2000..U+200A, U+202F, U+205F, U+3000).
// Line feeds and carriage returns are not trimmed. The result views the argument's storage.
std::string_view trimWhitespace(std::string_view text);

} // namespace quintarvel
