#include "http/SHA1.h"

#include "http/ByteHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quintarvel {
namespace {

TEST(SHA1, PublishedVectorsAndPaddingBoundaries) {
    const std::pair<std::string, const char *> vectors[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        // The two-block messages of FIPS 180.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnop"
         "qklmnopqrlmnopqrsmnopqrstnopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // 55 bytes pad into one block; 56 and 63 need a second; 64 is a block plus padding.
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"}};
    for (const auto &[message, hex] : vectors)
        EXPECT_EQ(sha1Hex(message), hex) << message.size() << " bytes";
    const std::vector<std::uint8_t> abc{'a', 'b', 'c'};
    EXPECT_EQ(SHA1::digest(abc), sha1Digest("abc"));
}

TEST(SHA1, WebSocketAcceptKeyOfTheHandshakeExample) {
    EXPECT_EQ(
        base64Text(sha1Digest("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
        "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

} // namespace
} // namespace quintarvel
