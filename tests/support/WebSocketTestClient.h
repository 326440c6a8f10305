#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quintarvel::test {

// Client-side WebSocket framing written from RFC 6455 independently of the server's code, so
// the tests compare the server against the protocol rather than against itself.

// One client frame: `firstByte` as given (fin, reserved bits, opcode), the shortest length field
// for the payload, and the payload masked with a fixed key (or sent plain when !masked).
std::string clientFrame(std::uint8_t firstByte, std::string_view payload, bool masked = true);
// Only the head of a frame announcing `length` bytes in the 8-byte length field, with its
// masking key; the payload is left out.
std::string clientFrameHead(std::uint8_t firstByte, std::uint64_t length);

// A frame as the server sent it.
struct ServerFrame {
    std::uint8_t firstByte = 0;
    bool masked = false;
    std::string payload;
};
// Splits bytes from the server into frames; throws std::runtime_error on a cut-off frame.
std::vector<ServerFrame> parseServerFrames(std::string_view bytes);

// A handshake request for the path with the sample key of RFC 6455, and its accept value.
std::string webSocketRequest(const std::string &path);
constexpr std::string_view rfcSampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr std::string_view rfcSampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

} // namespace quintarvel::test
