#include "http/UnicodeText.h"

#include <gtest/gtest.h>

namespace text = quintarvel::text;

TEST(UnicodeText, TrimsTabAndSpaceSeparatorsAndLowerCasesBeyondAscii) {
    EXPECT_EQ(text::trimWhitespace(" \t\u00A0\u3000a b\u2009\u202F "), "a b");
    EXPECT_EQ(text::trimWhitespace("\na\r"), "\na\r");
    EXPECT_EQ(text::trimWhitespace(" \t "), "");
    EXPECT_EQ(text::trimWhitespace(" \xFF \xC2"), "\xFF \xC2"); // not UTF-8: kept as it is
    EXPECT_EQ(text::lowercased("Content-TYPE\u00C4\u00D7\u0416"), "content-type\u00E4\u00D7\u0436");
    EXPECT_EQ(text::lowercased("A\xFF"), "a\xFF");
}
