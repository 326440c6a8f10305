#pragma once

#include "platform/Utf8.h"

#include <string>
#include <string_view>
#include <vector>

// Text helpers of the HTTP server. Texts are UTF-8 in std::string. Wherever the server trims,
// white space is the tab and the Unicode space separators (category Zs: U+0020, U+00A0, U+1680,
// U+2000..U+200A, U+202F, U+205F, U+3000); line feed and carriage return are not white space.
namespace quintarvel::text {

// Whether a code point is white space in the sense above.
bool isWhitespace(char32_t codePoint);

// The text without leading and trailing white space. Bytes that are not valid UTF-8 count as
// non-blank characters and are kept.
std::string trimWhitespace(std::string_view utf8);

// Unicode simple lower-case mapping of every character; bytes that are not valid UTF-8 are
// copied unchanged.
std::string lowercased(std::string_view utf8);

// Splits at every occurrence of the separator, keeping empty pieces: "a,,b" gives "a", "", "b";
// a text without the separator gives one piece, itself; an empty text gives one empty piece.
std::vector<std::string> splitKeepingEmpty(std::string_view text, char separator);

// Strict UTF-8 validation, the platform's.
using quintarvel::isValidUtf8;

// Appends the UTF-8 form of a code point (which must be a Unicode scalar value).
void appendUtf8(std::string &out, char32_t codePoint);

} // namespace quintarvel::text
