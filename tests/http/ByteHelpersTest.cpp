#include "http/ByteHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quintarvel {
namespace {

std::string base64Of(std::string_view text) {
    return base64Text(std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

TEST(Base64, VectorsOfRfc4648AndEveryByteValueWithoutLineBreaks) {
    const std::pair<const char *, const char *> vectors[] = {{"", ""},
                                                             {"f", "Zg=="},
                                                             {"fo", "Zm8="},
                                                             {"foo", "Zm9v"},
                                                             {"foob", "Zm9vYg=="},
                                                             {"fooba", "Zm9vYmE="},
                                                             {"foobar", "Zm9vYmFy"},
                                                             {"\xfb\xff", "+/8="}};
    for (const auto &[text, encoded] : vectors)
        EXPECT_EQ(base64Of(text), encoded) << text;
    std::vector<std::uint8_t> everyByte(256);
    for (int i = 0; i < 256; ++i)
        everyByte[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64Text(everyByte),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7"
              "PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3"
              "eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKz"
              "tLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v"
              "8PHy8/T19vf4+fr7/P3+/w==");
}

TEST(StripSurroundingQuotes, RemovesOnePairOnlyAndLeavesOtherTextUnchanged) {
    const std::pair<const char *, const char *> cases[] = {{"\"image.fits\"", "image.fits"},
                                                           {"\"\"", ""},
                                                           {"\"say \"hi\" now\"", "say \"hi\" now"},
                                                           {"\"\"\"\"", "\"\""},
                                                           {"\"\\\"\"", "\\\""},
                                                           {"\"\xc3\xa9\"", "\xc3\xa9"},
                                                           {"\"", "\""},
                                                           {"", ""},
                                                           {"\"open", "\"open"},
                                                           {"close\"", "close\""},
                                                           {" \"padded\" ", " \"padded\" "}};
    for (const auto &[text, stripped] : cases)
        EXPECT_EQ(stripSurroundingQuotes(text), stripped) << text;
}

TEST(IsWhitespaceByte, AnswersTheByteForAsciiWhiteSpaceOnly) {
    for (int byte = 0; byte < 256; ++byte) {
        const bool white = (byte >= 9 && byte <= 13) || byte == 32;
        EXPECT_EQ(isWhitespaceByte(static_cast<std::uint8_t>(byte)),
                  white ? std::optional<std::uint8_t>(byte) : std::nullopt)
            << byte;
    }
}

} // namespace
} // namespace quintarvel
