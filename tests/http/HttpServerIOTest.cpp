#include "http/HttpServerIO.h"

#include "http/HttpServer.h"
#include "support/SocketPair.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using State = HttpServerIO::HttpServerIOState;

// A server that serves connections handed to it, without a listener.
std::shared_ptr<HttpServer> runningServer() {
    auto server = std::make_shared<HttpServer>();
    server->setState(State::running);
    return server;
}

const std::string serverLine = "Server: Quintarvel " + serverVersion() + "\r\n";

// Writes one response over a socket pair: whether the connection is kept, and what the client
// end received.
std::pair<bool, std::string> written(HttpServerIO &io, const HttpResponse &response,
                                     bool keepAlive) {
    test::SocketPair pair;
    Socket socket(pair.takeServer());
    const bool kept = io.writeResponse(socket, response, keepAlive);
    socket.close();
    return {kept, pair.drainClient()};
}

// Serves one connection on the test's thread: the client end sends `bytes` and then ends its
// writing; returns what the server sent back.
std::string served(HttpServerIO &io, const std::string &bytes) {
    test::SocketPair pair;
    auto socket = std::make_shared<Socket>(pair.takeServer());
    pair.send(bytes);
    pair.shutdownClientWrite();
    io.serveConnection(socket);
    EXPECT_TRUE(socket->isShutdown());
    return pair.drainClient();
}

TEST(HttpServerIO, WireFormatKeepsTheConnectionOnlyWhenAskedAndALengthExists) {
    auto io = runningServer();
    const auto ok = HttpResponse::ok(HttpResponseBody::text("hi"));
    EXPECT_EQ(written(*io, ok, true),
              std::make_pair(true, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: "
                                   "keep-alive\r\n" +
                                       serverLine + "\r\nhi"));
    EXPECT_EQ(
        written(*io, ok, false),
        std::make_pair(false, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + serverLine + "\r\nhi"));
    EXPECT_TRUE(written(*io, HttpResponse::ok(HttpResponseBody::text("")), true).first);
    const auto raw = HttpResponse::raw(299, "Fine", HttpResponse::HeaderMap{{"X-A", "1"}},
                                       [](HttpResponseBodyWriter &writer) {
                                           writer.writeBytes({'a', 'b'});
                                           writer.writeNSData("cd", 2);
                                       });
    EXPECT_EQ(written(*io, raw, true),
              std::make_pair(false, "HTTP/1.1 299 Fine\r\n" + serverLine + "X-A: 1\r\n\r\nabcd"));
    // Nothing is written unless the server runs.
    io->stop();
    EXPECT_EQ(written(*io, ok, true), std::make_pair(false, std::string()));
}

TEST(HttpServerIO, FailuresAnswer500OrEndTheConnectionAndFailedWritesAreReported) {
    auto server = runningServer();
    server->GET["/throw"] = [](std::shared_ptr<HttpRequest>) -> HttpResponse {
        throw std::runtime_error("handler broke");
    };
    server->GET["/badwriter"] = [](std::shared_ptr<HttpRequest>) {
        return HttpResponse::raw(200, "OK", std::nullopt, [](HttpResponseBodyWriter &) {
            throw SocketError(SocketError::Case::writeFailed, "Broken pipe");
        });
    };
    // An HTTP/1.1 client is told that the connection closes; an HTTP/1.0 one expects it.
    EXPECT_EQ(served(*server, "GET /throw HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n" + serverLine + "\r\n");
    EXPECT_EQ(served(*server, "GET /throw HTTP/1.0\r\n\r\n"),
              "HTTP/1.1 500 Internal Server Error\r\n" + serverLine + "\r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(served(*server, "GET /badwriter HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nConnection: close\r\n" + serverLine + "\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to send response: writeFailed(\"Broken pipe\")\n");
    // Unreadable requests end the connection without an answer.
    EXPECT_EQ(served(*server, "GET /\r\n\r\n"), "");
    EXPECT_EQ(served(*server, "PUT / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), "");
}

TEST(HttpServerIO, UnstartedServerHasNoPortPublishesNothingAndNeedsAnOwner) {
    auto io = std::make_shared<HttpServerIO>();
    EXPECT_THROW(io->listeningPort(), SocketError);
    io->publish("", "_quintarvel._tcp", "Quintarvel", {});
    EXPECT_EQ(io->netService(), nullptr);
    HttpServerIO unowned; // start refuses before opening anything
    EXPECT_THROW(unowned.start(0, true), std::logic_error);
}

} // namespace
} // namespace quintarvel
