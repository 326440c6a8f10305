#include "http/ByteHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quintarvel {
namespace {

std::string base64Of(std::string_view text) {
    return base64Text(std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

TEST(Base64, PaddingOfOneTwoAndThreeBytes) {
    EXPECT_EQ(base64Of(""), "");
    EXPECT_EQ(base64Of("f"), "Zg==");
    EXPECT_EQ(base64Of("fo"), "Zm8=");
    EXPECT_EQ(base64Of("foo"), "Zm9v");
    EXPECT_EQ(base64Of("foob"), "Zm9vYg==");
    EXPECT_EQ(base64Of("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64Of("foobar"), "Zm9vYmFy");
}

TEST(Base64, EveryByteValueWithoutLineBreaks) {
    std::vector<std::uint8_t> everyByte;
    for (int i = 0; i < 256; ++i) {
        everyByte.push_back(static_cast<std::uint8_t>(i));
    }
    EXPECT_EQ(base64Text(everyByte),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7"
              "PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3"
              "eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKz"
              "tLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v"
              "8PHy8/T19vf4+fr7/P3+/w==");
    EXPECT_EQ(base64Text(std::vector<std::uint8_t>{0xfb, 0xff}), "+/8=");
}

TEST(StripSurroundingQuotes, RemovesOnePairOnly) {
    EXPECT_EQ(stripSurroundingQuotes("\"image.fits\""), "image.fits");
    EXPECT_EQ(stripSurroundingQuotes("\"\""), "");
    EXPECT_EQ(stripSurroundingQuotes("\"say \"hi\" now\""), "say \"hi\" now");
    EXPECT_EQ(stripSurroundingQuotes("\"\"\"\""), "\"\"");
    EXPECT_EQ(stripSurroundingQuotes("\"\\\"\""), "\\\"");
    EXPECT_EQ(stripSurroundingQuotes("\"\xc3\xa9\""), "\xc3\xa9");
}

TEST(StripSurroundingQuotes, LeavesOtherTextUnchanged) {
    EXPECT_EQ(stripSurroundingQuotes("\""), "\"");
    EXPECT_EQ(stripSurroundingQuotes(""), "");
    EXPECT_EQ(stripSurroundingQuotes("\"open"), "\"open");
    EXPECT_EQ(stripSurroundingQuotes("close\""), "close\"");
    EXPECT_EQ(stripSurroundingQuotes(" \"padded\" "), " \"padded\" ");
    EXPECT_EQ(stripSurroundingQuotes("plain"), "plain");
}

TEST(IsWhitespaceByte, AnswersTheByteForAsciiWhiteSpaceOnly) {
    for (int byte = 0; byte < 256; ++byte) {
        const bool white = (byte >= 9 && byte <= 13) || byte == 32;
        const auto answer = isWhitespaceByte(static_cast<std::uint8_t>(byte));
        if (white) {
            ASSERT_TRUE(answer.has_value()) << byte;
            EXPECT_EQ(*answer, byte);
        } else {
            EXPECT_FALSE(answer.has_value()) << byte;
        }
    }
    EXPECT_EQ(isWhitespaceByte(11), std::optional<std::uint8_t>(11));
    EXPECT_EQ(isWhitespaceByte(8), std::nullopt);
    EXPECT_EQ(isWhitespaceByte(14), std::nullopt);
}

} // namespace
} // namespace quintarvel
