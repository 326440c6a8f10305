#include "http/UnicodeText.h"

#include <gtest/gtest.h>

namespace text = quintarvel::text;

TEST(UnicodeText, TrimRemovesTabAndSpaceSeparatorsOnly) {
    EXPECT_EQ(text::trimWhitespace(" \t\u00A0\u3000a b\u2009\u202F "), "a b");
    EXPECT_EQ(text::trimWhitespace("\na\r"), "\na\r");
    EXPECT_EQ(text::trimWhitespace(" \t "), "");
    // Bytes that are not UTF-8 are kept as they are.
    EXPECT_EQ(text::trimWhitespace(" \xFF \xC2"), "\xFF \xC2");
}

TEST(UnicodeText, LowercasedMapsBeyondAscii) {
    EXPECT_EQ(text::lowercased("Content-TYPE"), "content-type");
    EXPECT_EQ(text::lowercased("\u00C4\u00D7\u0416"), "\u00E4\u00D7\u0436");
    EXPECT_EQ(text::lowercased("A\xFF"), "a\xFF");
}
