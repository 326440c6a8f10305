#include "http/TextTrim.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

TEST(TextTrim, RemovesTabsAndSpaceSeparatorsAtBothEnds) {
    EXPECT_EQ(trimWhitespace("  a b\t"), "a b");
    EXPECT_EQ(trimWhitespace("\t\t"), "");
    EXPECT_EQ(trimWhitespace(""), "");
    // No-break space, ogham mark, en quad, hair space, narrow no-break, math space, ideographic.
    EXPECT_EQ(trimWhitespace("\u00a0\u1680\u2000x\u200a\u202f\u205f\u3000"), "x");
    EXPECT_EQ(trimWhitespace("\u00a0"), "");
}

TEST(TextTrim, KeepsLineBreaksAndOtherCharacters) {
    EXPECT_EQ(trimWhitespace("\r\nvalue\r\n"), "\r\nvalue\r\n");
    EXPECT_EQ(trimWhitespace("\v x \f"), "\v x \f");
    // Zero-width space (U+200B) and line separator (U+2028) are not space separators.
    EXPECT_EQ(trimWhitespace("\u200bx\u2028"), "\u200bx\u2028");
    // A character whose last bytes look like the start of a space stays whole.
    EXPECT_EQ(trimWhitespace("\u00e9 "), "\u00e9");
}

} // namespace
} // namespace quintarvel
