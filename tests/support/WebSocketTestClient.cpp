#include "support/WebSocketTestClient.h"

#include <stdexcept>

namespace quintarvel::test {
namespace {

constexpr char maskKey[4] = {0x37, 0x7A, 0x21, 0x3D};

void appendBigEndian(std::string &out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

} // namespace

std::string clientFrame(std::uint8_t firstByte, std::string_view payload, bool masked) {
    std::string out(1, static_cast<char>(firstByte));
    const char maskBit = masked ? '\x80' : '\0';
    if (payload.size() <= 125) {
        out.push_back(static_cast<char>(maskBit | static_cast<char>(payload.size())));
    } else if (payload.size() <= 0xFFFF) {
        out.push_back(static_cast<char>(maskBit | 126));
        appendBigEndian(out, payload.size(), 2);
    } else {
        out.push_back(static_cast<char>(maskBit | 127));
        appendBigEndian(out, payload.size(), 8);
    }
    if (!masked)
        return out.append(payload);
    out.append(maskKey, 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        out.push_back(static_cast<char>(payload[i] ^ maskKey[i % 4]));
    return out;
}

std::string clientFrameHead(std::uint8_t firstByte, std::uint64_t length) {
    std::string out{static_cast<char>(firstByte), '\xFF'};
    appendBigEndian(out, length, 8);
    return out.append(maskKey, 4);
}

std::vector<ServerFrame> parseServerFrames(std::string_view bytes) {
    std::vector<ServerFrame> frames;
    const auto take = [&bytes](std::size_t n) {
        if (bytes.size() < n)
            throw std::runtime_error("cut-off frame from the server");
        std::string_view piece = bytes.substr(0, n);
        bytes.remove_prefix(n);
        return piece;
    };
    while (!bytes.empty()) {
        ServerFrame frame;
        const std::string_view head = take(2);
        frame.firstByte = static_cast<std::uint8_t>(head[0]);
        frame.masked = (head[1] & 0x80) != 0;
        std::uint64_t length = head[1] & 0x7F;
        if (length >= 126) {
            const std::string_view field = take(length == 126 ? 2 : 8);
            length = 0;
            for (const char byte : field)
                length = (length << 8) | static_cast<std::uint8_t>(byte);
        }
        const std::string_view key = frame.masked ? take(4) : std::string_view();
        frame.payload = std::string(take(static_cast<std::size_t>(length)));
        for (std::size_t i = 0; frame.masked && i < frame.payload.size(); ++i)
            frame.payload[i] = static_cast<char>(frame.payload[i] ^ key[i % 4]);
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::string webSocketRequest(const std::string &path) {
    return "GET " + path +
           " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: " +
           std::string(rfcSampleKey) + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

} // namespace quintarvel::test
