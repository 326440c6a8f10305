#include "http/SHA1.h"

#include "http/ByteHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quintarvel {
namespace {

TEST(SHA1, PublishedVectors) {
    EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // The two-block messages of FIPS 180: 56 bytes and 112 bytes.
    EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(
        sha1Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnop"
                "qklmnopqrlmnopqrsmnopqrstnopqrstu"),
        "a49b2446a02c645bf419f995b67091253a04a259");
    EXPECT_EQ(sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Lengths on both sides of the padding boundaries: 55 bytes is the longest message that pads
// into one block, 56 and 63 need a second block, 64 is one whole block plus a padding block.
TEST(SHA1, PaddingBoundaries) {
    EXPECT_EQ(sha1Hex(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(sha1Hex(std::string(56, 'a')), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(sha1Hex(std::string(63, 'a')), "03f09f5b158a7a8cdad920bddc29b81c18a551f5");
    EXPECT_EQ(sha1Hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
    EXPECT_EQ(sha1Hex(std::string(119, 'a')), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56");
}

TEST(SHA1, DigestOfBytesMatchesDigestOfText) {
    std::vector<std::uint8_t> everyByte;
    for (int i = 0; i < 256; ++i) {
        everyByte.push_back(static_cast<std::uint8_t>(i));
    }
    const SHA1::Digest digest = SHA1::digest(everyByte);
    EXPECT_EQ(digest, sha1Digest(std::string(everyByte.begin(), everyByte.end())));
    EXPECT_EQ(digest[0], 0x49);
    EXPECT_EQ(digest[19], 0xc8);
}

TEST(SHA1, WebSocketAcceptKeyOfTheHandshakeExample) {
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    EXPECT_EQ(base64Text(sha1Digest(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

} // namespace
} // namespace quintarvel
