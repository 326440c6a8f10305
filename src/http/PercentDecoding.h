#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quintarvel {

// Every "%" followed by two hexadecimal digits (either case) becomes the byte they give; the
// result must be UTF-8. No value when a "%" lacks its two digits or the bytes are not UTF-8.
// "+" stays a plus sign.
std::optional<std::string> removingPercentEncoding(std::string_view text);

} // namespace quintarvel
