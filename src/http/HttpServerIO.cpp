#include "http/HttpServerIO.h"

#include "http/UnicodeText.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace quintarvel {
namespace detail {

using Clock = std::chrono::steady_clock;

// A served client's socket. Reads come from a buffer filled by large reads, so the parser's
// byte-by-byte reading of request and header lines costs one system call per buffer rather
// than per byte; a protocol-switch session reading through the same object sees every byte.
// It also enforces the server's time limits and remembers the peer's address.
class ClientSocket final : public Socket {
  public:
    ClientSocket(int descriptor, std::chrono::milliseconds idleTimeout)
        : Socket(descriptor), idleTimeout_(idleTimeout) {
        setWriteTimeout(idleTimeout);
    }

    // A new request is awaited: no byte for idleTimeout ends the wait, and the request line
    // and headers must be complete within idleTimeout of their first byte.
    void beginRequest() {
        headDeadline_.reset();
        awaitingHead_ = true;
        if (begin_ < end_)
            headDeadline_ = Clock::now() + idleTimeout_;
    }

    // A protocol-switch session may sit idle as long as it likes.
    void removeTimeLimits() {
        limited_ = false;
        awaitingHead_ = false;
    }

    std::uint8_t readByte() override {
        if (begin_ == end_)
            fill();
        return buffer_[begin_++];
    }

    std::vector<std::uint8_t> readBytes(std::int64_t length) override {
        std::vector<std::uint8_t> result;
        if (length < 1)
            return result;
        // The body follows the head: the head's deadline no longer applies.
        awaitingHead_ = false;
        const auto total = static_cast<std::uint64_t>(length);
        // The server has counted the whole length against its body budget: take storage for
        // exactly that once, so that the body is never copied while it grows. Pages are only
        // touched as bytes arrive.
        result.reserve(static_cast<std::size_t>(total));
        const std::size_t buffered =
            static_cast<std::size_t>(std::min<std::uint64_t>(total, end_ - begin_));
        result.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(begin_ + buffered));
        begin_ += buffered;
        std::uint64_t got = buffered;
        const DescriptorUse use(*this);
        while (got < total) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(bodyPiece, total - got));
            result.resize(static_cast<std::size_t>(got) + want);
            waitReadable(use);
            const ssize_t n =
                ::read(use.descriptor(SocketError::Case::recvFailed), result.data() + got, want);
            if (n <= 0)
                throw SocketError::fromErrno(SocketError::Case::recvFailed);
            got += static_cast<std::uint64_t>(n);
            result.resize(static_cast<std::size_t>(got));
        }
        return result;
    }

    // After a refusal whose body the client may still be sending: says the answer is complete
    // (end of our stream), then reads and drops what comes for a short while, so that closing
    // with unread bytes does not reset the connection before the client has read the answer.
    void closeAfterRefusal() {
        const DescriptorUse use(*this);
        if (!use)
            return;
        const int d = use.descriptor(SocketError::Case::recvFailed);
        ::shutdown(d, SHUT_WR);
        const auto deadline = Clock::now() + std::min(idleTimeout_, lingerLimit);
        std::array<std::uint8_t, 16 * 1024> sink;
        while (!isShutdown()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left <= std::chrono::milliseconds(0))
                break;
            pollfd p{d, POLLIN, 0};
            const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
            if (rc == -1 && errno == EINTR)
                continue;
            if (rc <= 0 || ::read(d, sink.data(), sink.size()) <= 0)
                break;
        }
        close();
    }

    std::string peerAddress() const override {
        // The peer of a connection never changes; ask the system once.
        if (!peer_)
            peer_ = Socket::peerAddress();
        return *peer_;
    }

  private:
    static constexpr std::size_t bodyPiece = 64 * 1024;
    static constexpr std::chrono::milliseconds lingerLimit = std::chrono::seconds(5);

    [[noreturn]] static void fail(int error) {
        errno = error;
        throw SocketError::fromErrno(SocketError::Case::recvFailed);
    }

    // Waits until the socket can be read, within the time limits.
    void waitReadable(const DescriptorUse &use) {
        const int d = use.descriptor(SocketError::Case::recvFailed);
        if (!limited_)
            return;
        auto timeout = idleTimeout_;
        if (awaitingHead_ && headDeadline_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*headDeadline_ -
                                                                                    Clock::now());
            if (left <= std::chrono::milliseconds(0))
                fail(ETIMEDOUT);
            timeout = std::min(timeout, left);
        }
        pollfd p{d, POLLIN, 0};
        int rc;
        while ((rc = ::poll(&p, 1, static_cast<int>(timeout.count()))) == -1 && errno == EINTR) {
        }
        if (rc == 0)
            fail(ETIMEDOUT);
        if (rc == -1)
            throw SocketError::fromErrno(SocketError::Case::recvFailed);
    }

    void fill() {
        const DescriptorUse use(*this);
        waitReadable(use);
        const ssize_t n =
            ::read(use.descriptor(SocketError::Case::recvFailed), buffer_.data(), buffer_.size());
        if (n <= 0)
            throw SocketError::fromErrno(SocketError::Case::recvFailed);
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
        if (awaitingHead_ && !headDeadline_)
            headDeadline_ = Clock::now() + idleTimeout_;
    }

    const std::chrono::milliseconds idleTimeout_;
    // Used by the one task that serves the connection, then by the session that takes it over.
    std::array<std::uint8_t, 4096> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool limited_ = true;
    bool awaitingHead_ = false;
    std::optional<Clock::time_point> headDeadline_;
    mutable std::optional<std::string> peer_;
};

// The body sink over a client socket. The response head is held back and sent with the first
// small piece of body, so that a short answer leaves in one segment instead of two.
class InnerWriteContext final : public HttpResponseBodyWriter {
  public:
    InnerWriteContext(Socket &socket, std::string head) : socket_(socket), head_(std::move(head)) {}

    void sendFile(File &file) override {
        flushHead();
        socket_.sendFile(file);
    }
    void writeBytes(const std::vector<std::uint8_t> &bytes) override {
        if (!joinHead(bytes.data(), bytes.size()))
            socket_.writeBytes(bytes);
    }
    void writeByteSlice(std::span<const std::uint8_t> bytes) override {
        if (!joinHead(bytes.data(), bytes.size()))
            socket_.writeByteSlice(bytes);
    }
    void writeNSData(const void *bytes, std::size_t length) override {
        if (!joinHead(bytes, length))
            socket_.writeFromPointer(bytes, static_cast<std::int64_t>(length));
    }
    void writeDataContents(const std::vector<std::uint8_t> &data) override {
        if (!joinHead(data.data(), data.size()))
            socket_.writeDataContents(data);
    }

    void flushHead() {
        if (head_.empty())
            return;
        std::string head = std::move(head_);
        head_.clear();
        socket_.writeFromPointer(head.data(), static_cast<std::int64_t>(head.size()));
    }

  private:
    static constexpr std::size_t joinLimit = 16 * 1024;

    // Sends a held-back head together with a small piece; false when the piece is for the
    // caller to send (after the head has gone out alone).
    bool joinHead(const void *bytes, std::size_t length) {
        if (head_.empty())
            return false;
        if (length > joinLimit) {
            flushHead();
            return false;
        }
        std::string joined = std::move(head_);
        head_.clear();
        joined.append(static_cast<const char *>(bytes), length);
        socket_.writeFromPointer(joined.data(), static_cast<std::int64_t>(joined.size()));
        return true;
    }

    Socket &socket_;
    std::string head_;
};

// Frees a client's place under the limit when its task is done with it, however it ends.
class ClientSlot {
  public:
    explicit ClientSlot(std::shared_ptr<std::atomic<std::size_t>> count)
        : count_(std::move(count)) {}
    ~ClientSlot() {
        if (count_)
            count_->fetch_sub(1);
    }
    ClientSlot(ClientSlot &&other) noexcept : count_(std::move(other.count_)) {}
    ClientSlot(const ClientSlot &) = delete;
    ClientSlot &operator=(const ClientSlot &) = delete;
    ClientSlot &operator=(ClientSlot &&) = delete;

  private:
    std::shared_ptr<std::atomic<std::size_t>> count_;
};

// A share of the server's body budget, given back when the request is done with.
class BodyReservation {
  public:
    explicit BodyReservation(std::atomic<std::int64_t> &held) : held_(held) {}
    ~BodyReservation() { held_.fetch_sub(bytes_); }
    BodyReservation(const BodyReservation &) = delete;
    BodyReservation &operator=(const BodyReservation &) = delete;

    // Takes `bytes` more if they fit within `budget` beside what every client holds.
    bool take(std::int64_t bytes, std::int64_t budget) {
        std::int64_t current = held_.load();
        do {
            if (bytes > budget - current)
                return false;
        } while (!held_.compare_exchange_weak(current, current + bytes));
        bytes_ += bytes;
        return true;
    }

  private:
    std::atomic<std::int64_t> &held_;
    std::int64_t bytes_ = 0;
};

// Whether the request names a transfer coding, which the parser does not decode: its body
// would be taken for the next request.
bool hasTransferCoding(const HttpRequest &request) {
    const auto coding = request.headers.find("transfer-encoding");
    return coding != request.headers.end() && text::lowercased(coding->second) != "identity";
}

bool expectsContinue(const HttpRequest &request) {
    const auto expect = request.headers.find("expect");
    return expect != request.headers.end() && text::lowercased(expect->second) == "100-continue";
}

bool namesField(const HttpResponse::HeaderMap &fields, std::string_view name) {
    for (const auto &field : fields)
        if (text::lowercased(field.first) == name)
            return true;
    return false;
}

// accept(2) failures that concern one connection or a passing shortage, not the listener.
bool acceptMayGoOn(int error) {
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return true;
    default:
        return false;
    }
}

bool isResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace detail

using detail::ClientSocket;

HttpServerIO::HttpServerIO()
    : socket_(std::make_shared<Socket>(-1)), sockets_(std::make_shared<SocketSet>()),
      queue_("quintarvel.httpserverio.clientsockets"),
      activeClients_(std::make_shared<std::atomic<std::size_t>>(0)) {}

HttpServerIO::~HttpServerIO() {
    stop();
}

void HttpServerIO::setDelegate(std::weak_ptr<HttpServerIODelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<HttpServerIODelegate> HttpServerIO::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

std::shared_ptr<Socket> HttpServerIO::socket() const {
    std::lock_guard lock(mutex_);
    return socket_;
}

std::vector<std::shared_ptr<Socket>> HttpServerIO::sockets() {
    return queue_.syncResult([live = sockets_] {
        return std::vector<std::shared_ptr<Socket>>(live->begin(), live->end());
    });
}

HttpServerIO::HttpServerIOState HttpServerIO::state() const {
    return static_cast<HttpServerIOState>(stateValue_.load());
}

void HttpServerIO::setState(HttpServerIOState state) {
    std::int32_t current = stateValue_.load();
    stateValue_.compare_exchange_strong(current, static_cast<std::int32_t>(state));
}

bool HttpServerIO::isRunning() const {
    return state() == HttpServerIOState::running;
}

std::uint16_t HttpServerIO::listeningPort() const {
    return socket()->localPort();
}

bool HttpServerIO::listensOnIPv4() const {
    return socket()->usesIPv4();
}

void HttpServerIO::start(std::uint16_t port, bool forceIPv4, DispatchPriority priority) {
    if (isRunning())
        return;
    std::weak_ptr<HttpServerIO> weak = weak_from_this();
    if (weak.expired())
        throw std::logic_error("an HttpServerIO must be owned by a std::shared_ptr to start");
    setState(HttpServerIOState::starting);
    auto listener = Socket::openListener(port, forceIPv4, 128,
                                         forceIPv4 ? listenAddressIPv4 : listenAddressIPv6);
    {
        std::lock_guard lock(mutex_);
        socket_ = listener;
    }
    setState(HttpServerIOState::running);
    globalQueue(priority).async([weak, listener, priority] {
        if (auto server = weak.lock())
            server->acceptLoop(listener, priority);
    });
}

void HttpServerIO::acceptLoop(const std::shared_ptr<Socket> &listener, DispatchPriority priority) {
    if (!isRunning())
        return;
    for (;;) {
        int client;
        {
            // Held only around the call, so that stop's close of the listener is not kept
            // waiting past the wake-up.
            const Socket::DescriptorUse use(*listener);
            if (!use)
                break;
            client = ::accept4(use.descriptor(SocketError::Case::acceptFailed), nullptr, nullptr,
                               SOCK_CLOEXEC);
        }
        if (client == -1) {
            const int error = errno;
            // A stopped listener, or a failure of the listener itself, ends the loop; one
            // connection that went wrong, or a passing shortage, does not stop the server.
            if (!isRunning() || !detail::acceptMayGoOn(error))
                break;
            if (detail::isResourceShortage(error)) {
                // The pending connection stays queued; give other tasks time to free
                // descriptors instead of spinning on it.
                pollfd none{-1, 0, 0};
                ::poll(&none, 0, 100);
            }
            continue;
        }
        if (activeClients_->fetch_add(1) >= clientLimit) {
            activeClients_->fetch_sub(1);
            ::close(client);
            continue;
        }
        detail::ClientSlot slot(activeClients_);
        Socket::disableSigPipe(client);
        const int one = 1;
        // Heads and bodies are written separately; don't let Nagle hold the second back.
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::shared_ptr<Socket> socket = std::make_shared<ClientSocket>(client, idleTimeout);
        std::weak_ptr<HttpServerIO> weak = weak_from_this();
        try {
            globalQueue(priority).async(
                [weak, socket, slot = std::make_shared<detail::ClientSlot>(std::move(slot))] {
                    if (auto server = weak.lock())
                        server->serveClient(socket);
                });
        } catch (...) {
            // No thread for the client: it is closed when its socket is released here.
        }
    }
    // A listener that a stop closed needs no stop, and a stop here could hit the server that a
    // new start has begun meanwhile; a loop whose listener a new start has replaced must not
    // stop the new one either.
    if (!listener->isShutdown() && socket() == listener)
        stop();
}

void HttpServerIO::serveClient(const std::shared_ptr<Socket> &client) {
    if (!isRunning())
        return;
    queue_.async([live = sockets_, client] {
        // A stale entry of the same descriptor (closed, its removal still queued) gives way.
        auto [it, inserted] = live->insert(client);
        if (!inserted && *it != client) {
            live->erase(it);
            live->insert(client);
        }
    });
    serveConnection(client);
    queue_.async([live = sockets_, client] {
        // Only this very socket: a new client may already hold the same descriptor number.
        if (auto it = live->find(client); it != live->end() && *it == client)
            live->erase(it);
    });
}

bool HttpServerIO::readBody(Socket &socket, HttpParser::Head &head, bool http11,
                            detail::BodyReservation &reservation) {
    std::optional<HttpResponse> refusal;
    if (detail::hasTransferCoding(*head.request))
        refusal = HttpResponse::raw(411, "Length Required");
    else if (head.contentLength > 0 && (head.contentLength > HttpParser::maxContentLength ||
                                        !reservation.take(head.contentLength, bodyBudget)))
        refusal = HttpResponse::raw(413, "Content Too Large");
    if (refusal) {
        try {
            writeResponse(socket, *refusal, false, http11);
        } catch (...) {
        }
        if (auto *client = dynamic_cast<ClientSocket *>(&socket))
            client->closeAfterRefusal();
        return false;
    }
    try {
        if (head.contentLength > 0 && http11 && detail::expectsContinue(*head.request))
            socket.writeString("HTTP/1.1 100 Continue\r\n\r\n");
        parser_.readRequestBody(socket, head);
    } catch (...) {
        return false; // a broken connection, or no memory for the body: end it without answer
    }
    return true;
}

void HttpServerIO::serveConnection(const std::shared_ptr<Socket> &socket) {
    auto *client = dynamic_cast<ClientSocket *>(socket.get());
    while (isRunning()) {
        HttpParser::Head head;
        try {
            if (client)
                client->beginRequest();
            head = parser_.readRequestHead(*socket);
        } catch (...) {
            break; // unreadable request or broken connection: end it without an answer
        }
        // HTTP/1.1 clients keep a connection unless told it closes.
        const bool http11 = head.version == "HTTP/1.1";
        detail::BodyReservation reservation(bodyBytesHeld_);
        if (!readBody(*socket, head, http11, reservation))
            break;
        const std::shared_ptr<HttpRequest> request = std::move(head.request);
        try {
            request->address = socket->peerAddress();
        } catch (...) {
            request->address.reset();
        }
        std::optional<HttpResponse> answer;
        try {
            auto [params, handler] = selectHandler(request);
            request->params = std::move(params);
            answer = handler(request);
        } catch (...) {
            // A handler or middleware that fails answers 500; the answer has no length, so the
            // connection ends.
            answer = HttpResponse::internalServerError();
        }
        const HttpResponse &response = *answer;

        bool keepAlive = false;
        if (auto connection = request->headers.find("connection");
            connection != request->headers.end())
            keepAlive = text::trimWhitespace(connection->second) == "keep-alive";

        if (isRunning()) {
            try {
                keepAlive = writeResponse(*socket, response, keepAlive, http11);
            } catch (const std::exception &error) {
                std::printf("Failed to send response: %s\n", error.what());
                std::fflush(stdout);
            } catch (...) {
                std::printf("Failed to send response: unknown error\n");
                std::fflush(stdout);
            }
        }
        if (response.kind() == HttpResponse::Case::switchProtocols) {
            if (client)
                client->removeTimeLimits();
            if (auto d = delegate())
                d->socketSwitchingProtocols(socket);
            if (response.session()) {
                try {
                    response.session()(socket);
                } catch (...) {
                    // The session's end, however it comes, ends the connection.
                }
            }
            break;
        }
        if (!keepAlive)
            break;
    }
    socket->close();
}

bool HttpServerIO::writeResponse(Socket &socket, const HttpResponse &response, bool keepAlive,
                                 bool announceClose) {
    if (!isRunning())
        return false;
    std::string head = "HTTP/1.1 " + std::to_string(response.statusCode()) + " " +
                       response.reasonPhrase() + "\r\n";
    auto [length, bodyWriter] = response.lengthAndWriter();
    const HttpResponse::HeaderMap fields = response.headerFields();
    const bool kept = keepAlive && length != -1;
    if (length >= 0)
        head += "Content-Length: " + std::to_string(length) + "\r\n";
    if (kept)
        head += "Connection: keep-alive\r\n";
    else if (announceClose && response.kind() != HttpResponse::Case::switchProtocols &&
             !detail::namesField(fields, "connection"))
        head += "Connection: close\r\n";
    for (const auto &[name, value] : fields)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    detail::InnerWriteContext context(socket, std::move(head));
    if (bodyWriter) {
        try {
            bodyWriter(context);
        } catch (...) {
            // The head goes out before the body writer runs: a failing writer still leaves it
            // on the wire, and a head that cannot be sent is the error that counts.
            context.flushHead();
            throw;
        }
    }
    context.flushHead();
    return kept;
}

void HttpServerIO::stop() {
    if (!isRunning())
        return;
    setState(HttpServerIOState::stopping);
    for (const auto &client : sockets())
        client->close();
    queue_.sync([live = sockets_] { live->clear(); });
    socket()->close();
    setState(HttpServerIOState::stopped);
}

std::pair<HttpRouteParams, HttpHandler>
HttpServerIO::selectHandler(const std::shared_ptr<HttpRequest> &) {
    return {HttpRouteParams{}, notFoundAnswer()};
}

HttpHandler HttpServerIO::notFoundAnswer() {
    return [](std::shared_ptr<HttpRequest>) { return HttpResponse::notFound(); };
}

std::shared_ptr<NetService> HttpServerIO::netService() const {
    std::lock_guard lock(mutex_);
    return netService_;
}

void HttpServerIO::publish(const std::string &domain, const std::string &type,
                           const std::string &name, std::weak_ptr<NetServiceDelegate> delegate) {
    std::shared_ptr<NetService> service;
    std::shared_ptr<NetService> replaced; // withdrawn when released, outside the lock
    try {
        service = NetService::create(domain, type, name, listeningPort());
        std::lock_guard lock(mutex_);
        replaced = std::exchange(netService_, service);
    } catch (const SocketError &) {
        service = netService();
    }
    // Withdrawn before the new one registers, so that the same name does not collide with it.
    replaced.reset();
    if (service) {
        service->setDelegate(std::move(delegate));
        service->publish();
    }
}

} // namespace quintarvel
