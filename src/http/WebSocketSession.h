#pragma once

#include "http/Socket.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quintarvel {

// The server end of one WebSocket connection (RFC 6455) after the 101 answer: reads client
// frames from the connection's socket and writes unmasked server frames to it. Made and run by
// runWebSocketSession (below), which the handshake of WebSocketHandler.h hands to the server.
//
// Own sessions through std::shared_ptr: callbacks receive that pointer and may keep it (in a
// set of sessions, say) beyond the connection. When the last owner lets go, the session sends
// one more empty close frame and closes its socket. Once the socket is closed nothing is ever
// written to it, so a session kept after its connection ended cannot touch a descriptor the
// system has since given to another connection.
//
// Threads: frames are read and callbacks run on the connection's serving task. The senders may
// be called from any thread; one frame is written whole before another starts, so application
// sends and the session's own pong and close replies never interleave on the wire.
//
// Limit: a frame, or a fragmented message put together, longer than maxMessageLength ends the
// session with messageTooBig and a close frame carrying status 1009. The length a client
// announces is checked before any payload is read, so a huge announcement costs nothing.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
  public:
    using Bytes = std::vector<std::uint8_t>;

    // `continue_` stands for the protocol's "continue", a C++ keyword.
    enum class OpCode : std::uint8_t {
        continue_ = 0,
        close = 8,
        ping = 9,
        pong = 10,
        text = 1,
        binary = 2,
    };
    // Exactly 0, 1, 2, 8, 9 and 10 name an opcode.
    static std::optional<OpCode> opCodeFromRawValue(std::uint8_t value);

    // One received frame; the payload is already unmasked. The reserved bits are kept as read
    // (0 or their bit value), though a frame with any of them set is refused.
    struct Frame {
        OpCode opcode = OpCode::close;
        bool fin = false;
        std::uint8_t rsv1 = 0; // 0x40
        std::uint8_t rsv2 = 0; // 0x20
        std::uint8_t rsv3 = 0; // 0x10
        Bytes payload;
    };

    // A client that broke the protocol. Describes itself as the case with its text:
    // unMaskedFrame("A client must mask all frames that it sends to the server.").
    class WsError : public std::runtime_error {
      public:
        enum class Case {
            unknownOpCode,
            unMaskedFrame,
            protocolError,
            invalidUTF8,
            messageTooBig, // beyond maxMessageLength
        };
        WsError(Case kind, std::string text);
        Case kind() const noexcept { return kind_; }
        const std::string &text() const noexcept { return text_; }
        static const char *caseName(Case kind);

      private:
        Case kind_;
        std::string text_;
    };

    // Thrown to end a session normally (the client sent a close frame).
    class Control : public std::exception {
      public:
        enum class Case { close };
        Case kind() const noexcept { return Case::close; }
        const char *what() const noexcept override { return "close"; }
    };

    // Each callback gets the session first. Empty ones are absent.
    using TextCallback =
        std::function<void(const std::shared_ptr<WebSocketSession> &, const std::string &)>;
    using BytesCallback =
        std::function<void(const std::shared_ptr<WebSocketSession> &, const Bytes &)>;
    using EventCallback = std::function<void(const std::shared_ptr<WebSocketSession> &)>;
    struct Callbacks {
        // Initialised so that designated initialisers may leave any of them out.
        TextCallback text = nullptr;          // a complete text message, valid UTF-8
        BytesCallback binary = nullptr;       // a complete binary message
        BytesCallback pong = nullptr;         // every pong frame, with its payload
        EventCallback connected = nullptr;    // once, before the first frame is read
        EventCallback disconnected = nullptr; // once, after the run's close frame was sent
    };

    // A fragmented message being put together during one run. No message is pending while
    // pendingOpcode is close.
    struct FragmentState {
        OpCode pendingOpcode = OpCode::close;
        Bytes buffer;
    };

    static constexpr std::size_t defaultMaxMessageLength = std::size_t{16} << 20;

    explicit WebSocketSession(std::shared_ptr<Socket> socket);
    // Sends an empty close frame unless the socket is closed, then closes it.
    virtual ~WebSocketSession();
    WebSocketSession(const WebSocketSession &) = delete;
    WebSocketSession &operator=(const WebSocketSession &) = delete;

    const std::shared_ptr<Socket> socket;
    // Read on the session's task only: set it before the run or from the connected callback.
    std::size_t maxMessageLength = defaultMaxMessageLength;

    // Senders: one final frame each. They never throw: a failed write is printed on standard
    // output as the error's description and otherwise ignored; on a closed socket they do
    // nothing.
    virtual void sendText(std::string_view text);
    virtual void sendBinary(const Bytes &bytes);
    virtual void sendBinary(std::span<const std::uint8_t> bytes);
    virtual void sendFrame(std::span<const std::uint8_t> payload, OpCode opcode, bool fin);
    // An empty close frame, without status code.
    virtual void sendCloseFrame();

    // Reads one frame. Throws WsError for a frame the protocol forbids, or passes on the
    // socket's SocketError (recvFailed when the client went away).
    virtual Frame receiveFrame();
    // Acts on one frame: answers pings, buffers fragments, delivers complete messages and
    // pongs to the callbacks. Throws Control for a close frame, WsError for a protocol breach,
    // and passes on whatever a callback throws.
    virtual void handleFrame(Frame frame, FragmentState &fragments, const Callbacks &callbacks);

    // The length field of a frame header: one byte below 126, else 126 and two big-endian
    // bytes below 65536, else 127 and eight big-endian bytes; `masked` sets bit 7 of the first.
    static Bytes encodeLength(std::uint64_t length, bool masked);

    // Equality and hashing by the socket's descriptor, as for Socket.
    std::size_t hashValue() const;
    bool operator==(const WebSocketSession &other) const {
        return socket->socketFileDescriptor() == other.socket->socketFileDescriptor();
    }
    struct SharedHash {
        std::size_t operator()(const std::shared_ptr<WebSocketSession> &s) const {
            return s->hashValue();
        }
    };
    struct SharedEqual {
        bool operator()(const std::shared_ptr<WebSocketSession> &a,
                        const std::shared_ptr<WebSocketSession> &b) const {
            return *a == *b;
        }
    };

  private:
    void handleTextFrame(Frame &frame, FragmentState &fragments, const Callbacks &callbacks);
    void handleBinaryFrame(Frame &frame, FragmentState &fragments, const Callbacks &callbacks);
    void handleContinuationFrame(Frame &frame, FragmentState &fragments,
                                 const Callbacks &callbacks);
    // The common part of text and binary frames whose callback is present.
    void beginOrDeliver(Frame &frame, FragmentState &fragments, const Callbacks &callbacks);
    void deliver(OpCode opcode, const Bytes &message, const Callbacks &callbacks);

    std::mutex sendMutex_; // held while one frame is written
};

// Runs a session on the socket of a connection whose 101 answer has been written: calls
// connected, then reads and handles frames until the client closes, breaks the protocol or
// goes away. The end is reported on standard output, one line, except for a close from the
// client: "Unknown Op Code: ", "Unmasked frame: ", "Protocol error: ", "Invalid UTF8
// character: " or "Message too big: " followed by the WsError's description, and "Unkown
// error " followed by any other error's (a socket error, or one a callback threw). Then an
// empty close frame is sent (status 1009 for a message too big) and disconnected is called.
// Reads through the given Socket object, so bytes it has already buffered are not lost.
void runWebSocketSession(const std::shared_ptr<Socket> &socket,
                         const WebSocketSession::Callbacks &callbacks);

} // namespace quintarvel

template <> struct std::hash<quintarvel::WebSocketSession> {
    std::size_t operator()(const quintarvel::WebSocketSession &session) const {
        return session.hashValue();
    }
};
