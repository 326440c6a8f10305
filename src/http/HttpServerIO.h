#pragma once

#include "http/HttpHandler.h"
#include "http/HttpParser.h"
#include "http/HttpServerIODelegate.h"
#include "http/Socket.h"
#include "platform/Dispatch.h"
#include "platform/NetService.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quintarvel {

namespace detail {
class BodyReservation;
}

// The root of the HTTP server: the listening socket, the accept loop, one serving task per
// client, response writing with keep-alive, the running state and the service announcement.
// Handlers are chosen by selectHandler, which answers 404 "Not Found" here; HttpServer
// overrides it with middleware and routes.
//
// Threads: start() posts the accept loop on the global queue of the given priority, and every
// accepted client is served by its own task on that queue, so handlers run in parallel on their
// client's task. The accept task holds the server weakly until its loop begins and strongly
// while it runs; client tasks hold it strongly while they serve. So the owner must keep a
// reference while the server is to serve, and must stop() it for it ever to go away.
// Own the server through std::shared_ptr (start() refuses otherwise).
//
// Keep-alive: a connection stays open after a response only when the request's "connection"
// header, trimmed of white space, is exactly "keep-alive" and the response has a length. An
// HTTP/1.1 client takes a connection as persistent unless told otherwise, so the answer to an
// HTTP/1.1 request after which the server closes says "Connection: close" (a 101 answer and
// one whose handler set its own "Connection" field aside).
//
// Bodies: a request with a transfer coding other than "identity" is answered 411 "Length
// Required" and the connection closes; its body is never read. A body is read whole into
// memory, and bodies held at once share bodyBudget: a "content-length" that does not fit what
// is left of it is answered 413 "Content Too Large" before any of the body is read, and the
// connection closes (after a short wait that drops what the client still sends, so that it
// can read the answer). An HTTP/1.1 request that sent "Expect: 100-continue" gets "HTTP/1.1
// 100 Continue" before its body is read, and a refusal at once in its place.
//
// Limits (not in the wire protocol, there to keep the server alive):
// - at most clientLimit clients are served at once; a connection beyond that is closed at once;
// - a client that sends nothing for idleTimeout is disconnected, and a request line with its
//   headers must be complete within idleTimeout of its first byte (so a client trickling header
//   bytes cannot hold its task for ever); a body that keeps arriving is never cut off;
// - a write that makes no progress for idleTimeout drops the client (one that sends requests
//   but never reads the answers), WebSocket sends included.
// A protocol-switch session takes its socket over without the read time limits.
class HttpServerIO : public std::enable_shared_from_this<HttpServerIO> {
  public:
    enum class HttpServerIOState : std::int32_t {
        starting = 0,
        running = 1,
        stopping = 2,
        stopped = 3,
    };

    static constexpr std::size_t defaultClientLimit = 1024;
    static constexpr std::chrono::milliseconds defaultIdleTimeout = std::chrono::seconds(60);
    static constexpr std::int64_t defaultBodyBudget = std::int64_t{2} << 30;

    HttpServerIO();
    // Stops a running server; the listener closes when released.
    virtual ~HttpServerIO();
    HttpServerIO(const HttpServerIO &) = delete;
    HttpServerIO &operator=(const HttpServerIO &) = delete;

    // Held weakly.
    void setDelegate(std::weak_ptr<HttpServerIODelegate> delegate);
    std::shared_ptr<HttpServerIODelegate> delegate() const;

    // The listening socket; a placeholder over descriptor -1 before the first start.
    std::shared_ptr<Socket> socket() const;
    // The live client sockets (read on the client-sockets queue).
    std::vector<std::shared_ptr<Socket>> sockets();

    virtual HttpServerIOState state() const;
    // One compare-and-swap from the value just read; lost to a concurrent change, no retry.
    virtual void setState(HttpServerIOState state);
    virtual bool isRunning() const;

    // Numeric addresses to bind instead of the any-address; set before start.
    std::optional<std::string> listenAddressIPv4;
    std::optional<std::string> listenAddressIPv6;
    // Set before start.
    std::size_t clientLimit = defaultClientLimit;
    std::chrono::milliseconds idleTimeout = defaultIdleTimeout;
    // Bytes of request bodies held in memory at once, over all clients; set before start. A
    // body counts from before it is read until its response has been written.
    std::int64_t bodyBudget = defaultBodyBudget;

    // The listener's local port and whether it is IPv4; raise getSockNameFailed.
    virtual std::uint16_t listeningPort() const;
    virtual bool listensOnIPv4() const;

    // Opens the listener (backlog 128) and starts the accept loop. Does nothing while running.
    // Raises the SocketError of Socket::openListener, leaving the state starting.
    virtual void start(std::uint16_t port = 8080, bool forceIPv4 = false,
                       DispatchPriority priority = DispatchPriority::background);
    // Closes every live client and the listener; blocked reads and the accept end at once.
    // Acts only while running.
    virtual void stop();

    // The route parameters and handler for a request.
    virtual std::pair<HttpRouteParams, HttpHandler>
    selectHandler(const std::shared_ptr<HttpRequest> &request);
    // The request loop of one connection; closes the socket at its end.
    virtual void serveConnection(const std::shared_ptr<Socket> &socket);
    // Writes status line, "Content-Length" (when the response has a length), "Connection:
    // keep-alive" (when asked and there is a length) or, when the connection will close and
    // announceClose is set, "Connection: close", the header fields, a blank line and the body.
    // Returns whether the connection stays open. Raises write errors and the body writer's
    // errors.
    virtual bool writeResponse(Socket &socket, const HttpResponse &response, bool keepAlive,
                               bool announceClose = false);

    std::shared_ptr<NetService> netService() const;
    // Announces the listener's port under the domain, type and name, replacing an earlier
    // announcement. Without a readable port (not started) it makes none and re-announces an
    // earlier one, if any. The delegate, held weakly, hears the outcome on the service's task.
    virtual void publish(const std::string &domain, const std::string &type,
                         const std::string &name, std::weak_ptr<NetServiceDelegate> delegate);

  protected:
    // Ignores the request and answers 404 "Not Found".
    static HttpHandler notFoundAnswer();

  private:
    using SocketSet =
        std::unordered_set<std::shared_ptr<Socket>, Socket::SharedHash, Socket::SharedEqual>;

    // Each accept loop serves the listener that its start opened.
    void acceptLoop(const std::shared_ptr<Socket> &listener, DispatchPriority priority);
    void serveClient(const std::shared_ptr<Socket> &client);
    // Reads the body of a request whose head has been read, or answers the refusal; false
    // when the connection is to end.
    bool readBody(Socket &socket, HttpParser::Head &head, bool http11,
                  detail::BodyReservation &reservation);

    mutable std::mutex mutex_; // guards delegate_, socket_ and netService_
    std::weak_ptr<HttpServerIODelegate> delegate_;
    std::shared_ptr<Socket> socket_;
    std::shared_ptr<NetService> netService_;

    // Touched only on queue_; shared with the blocks posted there, which may outlive the server.
    std::shared_ptr<SocketSet> sockets_;
    std::atomic<std::int32_t> stateValue_{static_cast<std::int32_t>(HttpServerIOState::stopped)};
    SerialQueue queue_;
    // Clients accepted and not yet done, shared with their tasks.
    std::shared_ptr<std::atomic<std::size_t>> activeClients_;
    // Bytes of bodies held now, against bodyBudget.
    std::atomic<std::int64_t> bodyBytesHeld_{0};
    HttpParser parser_;
};

} // namespace quintarvel
