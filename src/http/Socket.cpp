#include "http/Socket.h"

#include "http/Errno.h"
#include "http/UnicodeText.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace quintarvel {

namespace {

using Case = SocketError::Case;

constexpr std::size_t readPiece = 1024;
// Largest count handed to one sendfile call; Linux caps a call near 2 GiB anyway.
constexpr std::size_t sendFilePiece = std::size_t{1} << 30;

// Linux sendfile has no per-call flag against SIGPIPE. Block it for this thread around the
// call, and take back a SIGPIPE the call raised so it is never delivered after unblocking.
class SigPipeBlock {
  public:
    SigPipeBlock() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
        wasPending_ = isPending();
    }
    ~SigPipeBlock() {
        const int savedErrno = errno;
        if (!wasPending_ && isPending()) {
            const timespec noWait{};
            sigtimedwait(&pipeOnly_, nullptr, &noWait);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = savedErrno;
    }
    SigPipeBlock(const SigPipeBlock &) = delete;
    SigPipeBlock &operator=(const SigPipeBlock &) = delete;

  private:
    static bool isPending() {
        sigset_t pending;
        sigpending(&pending);
        return sigismember(&pending, SIGPIPE) == 1;
    }
    sigset_t pipeOnly_{};
    sigset_t previous_{};
    bool wasPending_ = false;
};

[[noreturn]] void throwClosed(Case kind) {
    errno = EBADF;
    throw SocketError::fromErrno(kind);
}

// A send that the write timeout cut off without progress.
bool timedOut(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

sockaddr_storage localAddress(int descriptor) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) == -1) {
        throw SocketError::fromErrno(Case::getSockNameFailed);
    }
    return address;
}

} // namespace

Socket::Socket(int descriptor) : descriptor_(descriptor) {}

Socket::~Socket() {
    closeOnce();
}

Socket::DescriptorUse::DescriptorUse(const Socket &socket)
    : socket_(socket), held_(socket.acquire()) {}

Socket::DescriptorUse::~DescriptorUse() {
    if (held_)
        socket_.release();
}

int Socket::DescriptorUse::descriptor(SocketError::Case whenClosed) const {
    if (!held_)
        throwClosed(whenClosed);
    return socket_.socketFileDescriptor();
}

bool Socket::acquire() const {
    std::uint32_t state = useState_.load();
    do {
        if (state & closing)
            return false;
    } while (!useState_.compare_exchange_weak(state, state + oneUse));
    return true;
}

void Socket::release() const {
    // The last use to leave after close() has begun closes the descriptor: only then can no
    // thread still hand its number to a system call.
    if (useState_.fetch_sub(oneUse) - oneUse == closing)
        closeDescriptor(descriptor_);
}

void Socket::close() {
    closeOnce();
}

void Socket::closeOnce() {
    // Marked closing and counted as a use in one step, so the descriptor stays ours until the
    // shutdown below has been made.
    std::uint32_t state = useState_.load();
    do {
        if (state & closing)
            return;
    } while (!useState_.compare_exchange_weak(state, (state + oneUse) | closing));
    if (descriptor_ >= 0) {
        // close(2) alone does not wake a thread blocked in read or accept on Linux; shutdown
        // does. It fails harmlessly on descriptors that are not connected sockets.
        ::shutdown(descriptor_, SHUT_RDWR);
    }
    release();
}

void Socket::setWriteTimeout(std::chrono::milliseconds limit) {
    const DescriptorUse use(*this);
    if (!use)
        return;
    const auto ms = std::max<std::int64_t>(limit.count(), 0);
    const timeval value{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(use.descriptor(Case::writeFailed), SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

SocketError Socket::dropStalledPeer(SocketError error) {
    close();
    return error;
}

int Socket::closeDescriptor(int descriptor) {
    return ::close(descriptor);
}

void Socket::disableSigPipe(int) {}

std::size_t Socket::hashValue() const {
    return std::hash<int>{}(socketFileDescriptor());
}

std::shared_ptr<Socket> Socket::openListener(std::uint16_t port, bool forceIPv4, int backlog,
                                             const std::optional<std::string> &listenAddress) {
    const int family = forceIPv4 ? AF_INET : AF_INET6;
    const int d = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d == -1) {
        throw SocketError::fromErrno(Case::socketCreationFailed);
    }
    // The message is taken before the descriptor is closed, so close cannot change errno first.
    const auto fail = [d](SocketError error) -> SocketError {
        closeDescriptor(d);
        return error;
    };
    const int one = 1;
    if (::setsockopt(d, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1) {
        throw fail(SocketError::fromErrno(Case::socketSettingReUseAddrFailed));
    }

    sockaddr_storage address{};
    socklen_t addressLength;
    void *hostField;
    if (forceIPv4) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        hostField = &v4->sin_addr;
        addressLength = sizeof(sockaddr_in);
    } else {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_any;
        hostField = &v6->sin6_addr;
        addressLength = sizeof(sockaddr_in6);
    }
    // A listen address that does not parse must not quietly widen the listener to every
    // interface; it is refused like an address that cannot be bound.
    if (listenAddress && ::inet_pton(family, listenAddress->c_str(), hostField) != 1) {
        throw fail(SocketError(Case::bindFailed, "Invalid listen address: " + *listenAddress));
    }
    if (::bind(d, reinterpret_cast<const sockaddr *>(&address), addressLength) == -1) {
        throw fail(SocketError::fromErrno(Case::bindFailed));
    }
    if (::listen(d, backlog) == -1) {
        throw fail(SocketError::fromErrno(Case::listenFailed));
    }
    return std::make_shared<Socket>(d);
}

std::shared_ptr<Socket> Socket::acceptClient() {
    const DescriptorUse use(*this);
    const int client =
        ::accept4(use.descriptor(Case::acceptFailed), nullptr, nullptr, SOCK_CLOEXEC);
    if (client == -1) {
        throw SocketError::fromErrno(Case::acceptFailed);
    }
    disableSigPipe(client);
    return std::make_shared<Socket>(client);
}

std::uint16_t Socket::localPort() const {
    const DescriptorUse use(*this);
    const sockaddr_storage address = localAddress(use.descriptor(Case::getSockNameFailed));
    // sin_port and sin6_port lie at the same offset.
    return ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
}

bool Socket::usesIPv4() const {
    const DescriptorUse use(*this);
    return localAddress(use.descriptor(Case::getSockNameFailed)).ss_family == AF_INET;
}

std::string Socket::peerAddress() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const DescriptorUse use(*this);
    if (::getpeername(use.descriptor(Case::getPeerNameFailed),
                      reinterpret_cast<sockaddr *>(&address), &length) == -1) {
        throw SocketError::fromErrno(Case::getPeerNameFailed);
    }
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof host,
                      nullptr, 0, NI_NUMERICHOST) != 0) {
        throw SocketError::fromErrno(Case::getNameInfoFailed);
    }
    return host;
}

void Socket::writeAll(const std::uint8_t *start, std::int64_t count) {
    if (count < 1) {
        return;
    }
    const DescriptorUse use(*this);
    const int d = use.descriptor(Case::writeFailed);
    std::int64_t sent = 0;
    while (sent < count) {
        const std::size_t want = static_cast<std::size_t>(count - sent);
        ssize_t result = ::send(d, start + sent, want, MSG_NOSIGNAL);
        if (result == -1 && errno == ENOTSOCK) {
            result = ::write(d, start + sent, want);
        }
        if (result <= 0) {
            if (result == -1 && timedOut(errno)) {
                throw dropStalledPeer(SocketError::fromErrno(Case::writeFailed));
            }
            throw SocketError::fromErrno(Case::writeFailed);
        }
        sent += result;
    }
}

void Socket::writeString(std::string_view text) {
    writeAll(reinterpret_cast<const std::uint8_t *>(text.data()),
             static_cast<std::int64_t>(text.size()));
}

void Socket::writeBytes(const std::vector<std::uint8_t> &bytes) {
    writeAll(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

void Socket::writeByteSlice(std::span<const std::uint8_t> bytes) {
    writeAll(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

void Socket::writeNSData(const void *bytes, std::size_t length) {
    writeAll(static_cast<const std::uint8_t *>(bytes), static_cast<std::int64_t>(length));
}

void Socket::writeDataContents(const std::vector<std::uint8_t> &data) {
    writeBytes(data);
}

void Socket::writeFromPointer(const void *pointer, std::int64_t length) {
    writeAll(static_cast<const std::uint8_t *>(pointer), length);
}

void Socket::sendFile(File &file) {
    const DescriptorUse use(*this);
    const int d = use.descriptor(Case::writeFailed);
    // Bytes still in the stream's buffer would otherwise be missing from the file.
    std::fflush(file.pointer);
    const int in = ::fileno(file.pointer);
    off_t offset = 0;
    const SigPipeBlock noSigPipe;
    while (true) {
        const ssize_t result = ::sendfile(d, in, &offset, sendFilePiece);
        if (result == -1) {
            const int failure = errno;
            SocketError error(Case::writeFailed, "sendfile: " + Errno::currentMessage());
            if (timedOut(failure)) {
                throw dropStalledPeer(std::move(error));
            }
            throw error;
        }
        if (result == 0) {
            return;
        }
    }
}

std::uint8_t Socket::readByte() {
    const DescriptorUse use(*this);
    std::uint8_t byte = 0;
    if (::read(use.descriptor(Case::recvFailed), &byte, 1) <= 0) {
        throw SocketError::fromErrno(Case::recvFailed);
    }
    return byte;
}

std::vector<std::uint8_t> Socket::readBytes(std::int64_t length) {
    std::vector<std::uint8_t> result;
    if (length < 1) {
        return result;
    }
    const auto total = static_cast<std::uint64_t>(length);
    result.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(total, 64 * 1024)));
    const DescriptorUse use(*this);
    const int d = use.descriptor(Case::recvFailed);
    std::uint64_t got = 0;
    while (got < total) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(readPiece, total - got));
        // resize grows the capacity geometrically, so storage follows the bytes that came.
        result.resize(static_cast<std::size_t>(got) + want);
        const ssize_t n = ::read(d, result.data() + got, want);
        if (n <= 0) {
            throw SocketError::fromErrno(Case::recvFailed);
        }
        got += static_cast<std::uint64_t>(n);
        result.resize(static_cast<std::size_t>(got));
    }
    return result;
}

std::optional<std::string> Socket::readTextLineWithin(std::size_t maxBytes) {
    std::string line;
    std::size_t consumed = 0;
    while (true) {
        if (consumed == maxBytes) {
            // One byte more is allowed only if it ends the line.
            if (readByte() == 10) {
                return line;
            }
            return std::nullopt;
        }
        const std::uint8_t byte = readByte();
        ++consumed;
        if (byte == 10) {
            return line;
        }
        if (byte > 13) {
            text::appendUtf8(line, byte);
        }
    }
}

std::string Socket::readTextLine() {
    return *readTextLineWithin(std::numeric_limits<std::size_t>::max());
}

} // namespace quintarvel
