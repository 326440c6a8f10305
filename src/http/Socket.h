#pragma once

#include "http/SocketError.h"
#include "pages/File.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quintarvel {

// One stream-socket descriptor with blocking reads and writes that either complete or throw
// SocketError. Shared through std::shared_ptr<Socket> (the server's client set, the connection
// task, a WebSocket session). The descriptor is closed exactly once: by close(), or when the
// last owner lets go, even when two threads close at the same moment.
//
// One task at a time reads and writes a socket. close() may come from another thread while that
// task is blocked in a read, write or accept: the blocked call then fails and the task ends.
// After close() every read and write fails at once (text "Bad file descriptor") rather than
// touching a descriptor number the system may have handed out again. close() only shuts the
// socket down while another thread is inside a system call on it; the last of those closes the
// descriptor on its way out, so the number is never free while a call could still use it.
//
// Writes never raise SIGPIPE: a peer that has gone away gives writeFailed.
class Socket {
  public:
    // A socket over an existing descriptor, which is not touched. -1 makes the placeholder a
    // server holds before it has started: never read or written; queries fail; close is harmless.
    explicit Socket(int descriptor);
    virtual ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // Keeps the descriptor from being closed (its number from being reused) for as long as it
    // lives; every system call on the descriptor happens under one. Holds nothing once close()
    // has begun.
    class DescriptorUse {
      public:
        explicit DescriptorUse(const Socket &socket);
        ~DescriptorUse();
        DescriptorUse(const DescriptorUse &) = delete;
        DescriptorUse &operator=(const DescriptorUse &) = delete;

        explicit operator bool() const { return held_; }
        // The descriptor; raises `whenClosed` with the text "Bad file descriptor" when nothing
        // is held.
        int descriptor(SocketError::Case whenClosed) const;

      private:
        const Socket &socket_;
        bool held_;
    };

    virtual int socketFileDescriptor() const { return descriptor_; }
    // Whether close() has run.
    bool isShutdown() const { return (useState_.load() & closing) != 0; }

    // A listening TCP socket on the port (0: the system picks one; see localPort()), IPv6
    // (taking IPv4 clients as mapped addresses, the system default) unless forceIPv4. A
    // listenAddress is a numeric address of that family to bind instead of the any-address; one
    // that does not parse raises bindFailed rather than listening on every interface. Raises
    // socketCreationFailed, socketSettingReUseAddrFailed, bindFailed or listenFailed and then
    // leaves no descriptor open. Descriptors are close-on-exec, so engine child processes never
    // inherit the listener or a client.
    static std::shared_ptr<Socket> openListener(std::uint16_t port, bool forceIPv4, int backlog,
                                                const std::optional<std::string> &listenAddress);
    // Waits for one client of this listening socket; raises acceptFailed.
    std::shared_ptr<Socket> acceptClient();

    virtual void close();

    // A write that makes no progress for `limit` fails with writeFailed and closes the socket,
    // so a peer that stops reading cannot hold its writer for ever. Zero: no limit (the
    // default).
    void setWriteTimeout(std::chrono::milliseconds limit);

    // Queries; each raises getSockNameFailed.
    virtual std::uint16_t localPort() const;
    virtual bool usesIPv4() const;
    // Numeric text of the peer's address, IPv6 and IPv4-mapped peers included; raises
    // getPeerNameFailed or getNameInfoFailed.
    virtual std::string peerAddress() const;

    // Complete writes: everything or writeFailed. Nothing is retried, an interrupted write
    // included.
    virtual void writeString(std::string_view text);
    virtual void writeBytes(const std::vector<std::uint8_t> &bytes);
    virtual void writeByteSlice(std::span<const std::uint8_t> bytes);
    virtual void writeNSData(const void *bytes, std::size_t length);
    virtual void writeDataContents(const std::vector<std::uint8_t> &data);
    // A length below 1 writes nothing.
    virtual void writeFromPointer(const void *pointer, std::int64_t length);
    // The whole file from its first byte, whatever the stream's position (the stream is flushed
    // first; only its descriptor is used). Loops until sendfile reports the end of the file.
    // A failure raises writeFailed with "sendfile: " before the system message.
    void sendFile(File &file);

    // Reads; each raises recvFailed on end of stream or a failed read.
    // One byte by one read.
    virtual std::uint8_t readByte();
    // Exactly `length` bytes (none, without reading, below 1), by reads of at most 1024 bytes.
    // Storage grows as bytes arrive, so a huge announced length costs nothing until sent.
    virtual std::vector<std::uint8_t> readBytes(std::int64_t length);
    // One line up to a line feed (not kept), read through readByte as Latin-1: bytes 0..13 are
    // dropped (carriage return, tab and NUL included), 14..255 become U+000E..U+00FF in UTF-8.
    virtual std::string readTextLine();
    // readTextLine with a bound: no value once more than maxBytes bytes (dropped ones counted)
    // have come without a line feed; nothing further is read then.
    std::optional<std::string> readTextLineWithin(std::size_t maxBytes);

    // Linux has no SO_NOSIGPIPE; writes use MSG_NOSIGNAL and sendFile blocks SIGPIPE for its
    // thread, so this does nothing. Kept for callers that set it on every accepted client.
    static void disableSigPipe(int descriptor);
    // close(2) on a descriptor, returning its result.
    static int closeDescriptor(int descriptor);

    // Equality and hashing by descriptor; the server's set of live clients relies on it.
    virtual std::size_t hashValue() const;
    bool operator==(const Socket &other) const {
        return socketFileDescriptor() == other.socketFileDescriptor();
    }
    struct SharedHash {
        std::size_t operator()(const std::shared_ptr<Socket> &s) const { return s->hashValue(); }
    };
    struct SharedEqual {
        bool operator()(const std::shared_ptr<Socket> &a, const std::shared_ptr<Socket> &b) const {
            return *a == *b;
        }
    };

  private:
    // useState_: bit 0 is set once close() has begun; the rest counts the DescriptorUses.
    static constexpr std::uint32_t closing = 1;
    static constexpr std::uint32_t oneUse = 2;

    bool acquire() const;
    void release() const;
    void closeOnce();
    // A write timed out: the peer is dropped. Returns the error to raise.
    SocketError dropStalledPeer(SocketError error);
    void writeAll(const std::uint8_t *start, std::int64_t count);

    const int descriptor_;
    mutable std::atomic<std::uint32_t> useState_{0};
};

} // namespace quintarvel

template <> struct std::hash<quintarvel::Socket> {
    std::size_t operator()(const quintarvel::Socket &socket) const { return socket.hashValue(); }
};
