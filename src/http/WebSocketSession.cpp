#include "http/WebSocketSession.h"

#include "http/UnicodeText.h"

#include <cstdio>
#include <utility>

namespace quintarvel {

namespace {

using OpCode = WebSocketSession::OpCode;
using WsError = WebSocketSession::WsError;
using Bytes = WebSocketSession::Bytes;

// Payloads up to this size leave in one write together with their header.
constexpr std::size_t joinLimit = 16 * 1024;
// RFC 6455 status "message too big", big-endian.
const Bytes messageTooBigStatus = {0x03, 0xF1};

// One line on standard output, written by one call so lines of parallel sessions don't mix.
void printLine(std::string line) {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

bool isControl(OpCode opcode) {
    return opcode == OpCode::close || opcode == OpCode::ping || opcode == OpCode::pong;
}

[[noreturn]] void throwTooBig(std::uint64_t length, std::size_t limit) {
    throw WsError(WsError::Case::messageTooBig, "A message of " + std::to_string(length) +
                                                    " bytes exceeds the limit of " +
                                                    std::to_string(limit) + " bytes.");
}

const char *endLinePrefix(WsError::Case kind) {
    switch (kind) {
    case WsError::Case::unknownOpCode:
        return "Unknown Op Code: ";
    case WsError::Case::unMaskedFrame:
        return "Unmasked frame: ";
    case WsError::Case::protocolError:
        return "Protocol error: ";
    case WsError::Case::invalidUTF8:
        return "Invalid UTF8 character: ";
    case WsError::Case::messageTooBig:
        return "Message too big: ";
    }
    return "Unkown error ";
}

} // namespace

WsError::WsError(Case kind, std::string text)
    : std::runtime_error(std::string(caseName(kind)) + "(\"" + text + "\")"), kind_(kind),
      text_(std::move(text)) {}

const char *WsError::caseName(Case kind) {
    switch (kind) {
    case Case::unknownOpCode:
        return "unknownOpCode";
    case Case::unMaskedFrame:
        return "unMaskedFrame";
    case Case::protocolError:
        return "protocolError";
    case Case::invalidUTF8:
        return "invalidUTF8";
    case Case::messageTooBig:
        return "messageTooBig";
    }
    return "unknown";
}

std::optional<OpCode> WebSocketSession::opCodeFromRawValue(std::uint8_t value) {
    switch (value) {
    case 0:
    case 1:
    case 2:
    case 8:
    case 9:
    case 10:
        return static_cast<OpCode>(value);
    default:
        return std::nullopt;
    }
}

WebSocketSession::WebSocketSession(std::shared_ptr<Socket> socket) : socket(std::move(socket)) {}

WebSocketSession::~WebSocketSession() {
    sendCloseFrame();
    socket->close();
}

std::size_t WebSocketSession::hashValue() const {
    return std::hash<int>{}(socket->socketFileDescriptor());
}

void WebSocketSession::sendText(std::string_view text) {
    sendFrame({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()}, OpCode::text,
              true);
}

void WebSocketSession::sendBinary(const Bytes &bytes) {
    sendFrame(bytes, OpCode::binary, true);
}

void WebSocketSession::sendBinary(std::span<const std::uint8_t> bytes) {
    sendFrame(bytes, OpCode::binary, true);
}

void WebSocketSession::sendCloseFrame() {
    sendFrame({}, OpCode::close, true);
}

void WebSocketSession::sendFrame(std::span<const std::uint8_t> payload, OpCode opcode, bool fin) {
    Bytes head{static_cast<std::uint8_t>((fin ? 0x80 : 0x00) | static_cast<std::uint8_t>(opcode))};
    const Bytes length = encodeLength(payload.size(), false);
    head.insert(head.end(), length.begin(), length.end());
    const bool joined = payload.size() <= joinLimit;
    if (joined)
        head.insert(head.end(), payload.begin(), payload.end());

    std::lock_guard lock(sendMutex_);
    // A closed socket's descriptor number may belong to another connection by now.
    if (socket->isShutdown())
        return;
    try {
        socket->writeFromPointer(head.data(), static_cast<std::int64_t>(head.size()));
        if (!joined)
            socket->writeFromPointer(payload.data(), static_cast<std::int64_t>(payload.size()));
    } catch (const std::exception &error) {
        printLine(error.what());
    } catch (...) {
        printLine("unknown write error");
    }
}

Bytes WebSocketSession::encodeLength(std::uint64_t length, bool masked) {
    const std::uint8_t mask = masked ? 0x80 : 0x00;
    if (length < 126)
        return {static_cast<std::uint8_t>(mask | length)};
    if (length < 65536) {
        return {static_cast<std::uint8_t>(mask | 126), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length)};
    }
    Bytes field{static_cast<std::uint8_t>(mask | 127)};
    for (int shift = 56; shift >= 0; shift -= 8)
        field.push_back(static_cast<std::uint8_t>(length >> shift));
    return field;
}

WebSocketSession::Frame WebSocketSession::receiveFrame() {
    Frame frame;
    const std::uint8_t first = socket->readByte();
    frame.fin = (first & 0x80) != 0;
    frame.rsv1 = first & 0x40;
    frame.rsv2 = first & 0x20;
    frame.rsv3 = first & 0x10;
    if ((first & 0x70) != 0)
        throw WsError(WsError::Case::protocolError, "Reserved frame bit has not been negociated.");
    const std::uint8_t raw = first & 0x0F;
    const std::optional<OpCode> opcode = opCodeFromRawValue(raw);
    if (!opcode)
        throw WsError(WsError::Case::unknownOpCode, std::to_string(raw));
    if (isControl(*opcode) && !frame.fin)
        throw WsError(WsError::Case::protocolError, "Control frames must not be fragmented.");
    frame.opcode = *opcode;

    const std::uint8_t second = socket->readByte();
    if ((second & 0x80) == 0) {
        throw WsError(WsError::Case::unMaskedFrame,
                      "A client must mask all frames that it sends to the server.");
    }
    std::uint64_t length = second & 0x7F;
    if (length >= 126) {
        const Bytes field = socket->readBytes(length == 126 ? 2 : 8);
        length = 0;
        for (const std::uint8_t byte : field)
            length = (length << 8) | byte;
    }
    // Checked before reading: the client chooses the length, we choose what to hold.
    if (length > maxMessageLength)
        throwTooBig(length, maxMessageLength);
    const Bytes key = socket->readBytes(4);
    frame.payload = socket->readBytes(static_cast<std::int64_t>(length));
    for (std::size_t i = 0; i < frame.payload.size(); ++i)
        frame.payload[i] ^= key[i % 4];
    return frame;
}

void WebSocketSession::handleFrame(Frame frame, FragmentState &fragments,
                                   const Callbacks &callbacks) {
    switch (frame.opcode) {
    case OpCode::close:
        throw Control();
    case OpCode::ping:
        if (frame.payload.size() >= 126)
            throw WsError(WsError::Case::protocolError, "Payload gretter than 125 octets.");
        sendFrame(frame.payload, OpCode::pong, true);
        return;
    case OpCode::pong:
        if (callbacks.pong)
            callbacks.pong(shared_from_this(), frame.payload);
        return;
    case OpCode::text:
        handleTextFrame(frame, fragments, callbacks);
        return;
    case OpCode::binary:
        handleBinaryFrame(frame, fragments, callbacks);
        return;
    case OpCode::continue_:
        handleContinuationFrame(frame, fragments, callbacks);
        return;
    }
}

void WebSocketSession::handleTextFrame(Frame &frame, FragmentState &fragments,
                                       const Callbacks &callbacks) {
    // An application without a text callback takes no text, not even into the buffer.
    if (callbacks.text)
        beginOrDeliver(frame, fragments, callbacks);
}

void WebSocketSession::handleBinaryFrame(Frame &frame, FragmentState &fragments,
                                         const Callbacks &callbacks) {
    if (callbacks.binary)
        beginOrDeliver(frame, fragments, callbacks);
}

void WebSocketSession::beginOrDeliver(Frame &frame, FragmentState &fragments,
                                      const Callbacks &callbacks) {
    // Only continuation frames may follow the first fragment of a message, whatever that
    // fragment held (an empty first fragment too).
    if (fragments.pendingOpcode != OpCode::close) {
        throw WsError(WsError::Case::protocolError,
                      "Continuing fragmented frame cannot have an operation code.");
    }
    if (!frame.fin) {
        fragments.buffer = std::move(frame.payload);
        fragments.pendingOpcode = frame.opcode;
        return;
    }
    deliver(frame.opcode, frame.payload, callbacks);
}

void WebSocketSession::handleContinuationFrame(Frame &frame, FragmentState &fragments,
                                               const Callbacks &callbacks) {
    if (fragments.pendingOpcode == OpCode::close) {
        // Nothing to continue: the session ends as on a close frame, its socket already shut.
        socket->close();
        throw Control();
    }
    const std::uint64_t total = fragments.buffer.size() + frame.payload.size();
    if (total > maxMessageLength)
        throwTooBig(total, maxMessageLength);
    fragments.buffer.insert(fragments.buffer.end(), frame.payload.begin(), frame.payload.end());
    if (!frame.fin)
        return;
    const OpCode opcode = std::exchange(fragments.pendingOpcode, OpCode::close);
    const Bytes message = std::exchange(fragments.buffer, Bytes{});
    deliver(opcode, message, callbacks);
}

void WebSocketSession::deliver(OpCode opcode, const Bytes &message, const Callbacks &callbacks) {
    if (opcode == OpCode::binary) {
        if (callbacks.binary)
            callbacks.binary(shared_from_this(), message);
        return;
    }
    // A text is delivered whole, zero bytes included, and only when all of it is UTF-8.
    std::string text(message.begin(), message.end());
    if (!text::isValidUtf8(text))
        throw WsError(WsError::Case::invalidUTF8, "");
    if (callbacks.text)
        callbacks.text(shared_from_this(), text);
}

void runWebSocketSession(const std::shared_ptr<Socket> &socket,
                         const WebSocketSession::Callbacks &callbacks) {
    auto session = std::make_shared<WebSocketSession>(socket);
    WebSocketSession::FragmentState fragments;
    Bytes closing;
    try {
        if (callbacks.connected)
            callbacks.connected(session);
        for (;;) {
            WebSocketSession::Frame frame = session->receiveFrame();
            session->handleFrame(std::move(frame), fragments, callbacks);
        }
    } catch (const WebSocketSession::Control &) {
        // The client closed: a normal end, nothing to report.
    } catch (const WsError &error) {
        printLine(endLinePrefix(error.kind()) + std::string(error.what()));
        if (error.kind() == WsError::Case::messageTooBig)
            closing = messageTooBigStatus;
    } catch (const std::exception &error) {
        printLine("Unkown error " + std::string(error.what()));
    } catch (...) {
        printLine("Unkown error unknown");
    }
    session->sendFrame(closing, OpCode::close, true);
    if (callbacks.disconnected)
        callbacks.disconnected(session);
}

} // namespace quintarvel
