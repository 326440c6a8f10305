#include "http/HttpServerIO.h"

#include "http/HttpServer.h"
#include "support/SocketPair.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using State = HttpServerIO::HttpServerIOState;

// A server that serves connections handed to it, without a listener.
template <class Server = HttpServerIO> std::shared_ptr<Server> runningServer() {
    auto server = std::make_shared<Server>();
    server->setState(State::running);
    return server;
}

std::string serverLine() {
    return "Server: Quintarvel " + serverVersion() + "\r\n";
}

// Writes one response over a socket pair and returns what the client end received.
std::pair<bool, std::string> written(HttpServerIO &io, const HttpResponse &response,
                                     bool keepAlive) {
    test::SocketPair pair;
    Socket socket(pair.takeServer());
    bool kept = io.writeResponse(socket, response, keepAlive);
    socket.close();
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(pair.client(), buffer, sizeof buffer, 0)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    return {kept, bytes};
}

TEST(HttpServerIO, WireFormatWithLengthAndKeepAlive) {
    auto io = runningServer();
    auto ok = HttpResponse::ok(HttpResponseBody::text("hi"));
    EXPECT_EQ(written(*io, ok, true),
              std::make_pair(true, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: "
                                   "keep-alive\r\n" +
                                       serverLine() + "\r\nhi"));
    EXPECT_EQ(written(*io, ok, false),
              std::make_pair(false,
                             "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + serverLine() + "\r\nhi"));
    // A present, zero length still keeps the connection.
    EXPECT_EQ(written(*io, HttpResponse::ok(HttpResponseBody::text("")), true).first, true);
}

TEST(HttpServerIO, AnswersWithoutLengthEndTheConnection) {
    auto io = runningServer();
    EXPECT_EQ(written(*io, HttpResponse::movedTemporarily("/x"), true),
              std::make_pair(false, "HTTP/1.1 307 Moved Temporarily\r\nLocation: /x\r\n" +
                                        serverLine() + "\r\n"));
    auto raw = HttpResponse::raw(299, "Fine", HttpResponse::HeaderMap{{"X-A", "1"}},
                                 [](HttpResponseBodyWriter &writer) {
                                     writer.writeBytes({'a', 'b'});
                                     writer.writeNSData("cd", 2);
                                 });
    EXPECT_EQ(written(*io, raw, true),
              std::make_pair(false, "HTTP/1.1 299 Fine\r\n" + serverLine() + "X-A: 1\r\n\r\nabcd"));
}

TEST(HttpServerIO, LargeBodiesArriveWhole) {
    auto io = runningServer();
    std::vector<std::uint8_t> body(200000);
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<std::uint8_t>(i * 7);
    auto [kept, bytes] = written(*io, HttpResponse::ok(HttpResponseBody::data(body)), true);
    EXPECT_TRUE(kept);
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 200000\r\nConnection: keep-alive\r\n" +
                       serverLine() + "\r\n";
    ASSERT_EQ(bytes.size(), head.size() + body.size());
    EXPECT_EQ(bytes.substr(0, head.size()), head);
    EXPECT_EQ(bytes.substr(head.size()), std::string(body.begin(), body.end()));
}

TEST(HttpServerIO, WritesNothingUnlessRunning) {
    auto io = std::make_shared<HttpServerIO>();
    EXPECT_EQ(io->state(), State::stopped);
    EXPECT_EQ(written(*io, HttpResponse::ok(HttpResponseBody::text("x")), true),
              std::make_pair(false, std::string()));
}

TEST(HttpServerIO, StateSetterIsOneCompareAndSwap) {
    auto io = std::make_shared<HttpServerIO>();
    EXPECT_FALSE(io->isRunning());
    io->setState(State::starting);
    EXPECT_EQ(io->state(), State::starting);
    io->setState(State::running);
    EXPECT_TRUE(io->isRunning());
    io->stop();
    EXPECT_EQ(io->state(), State::stopped);
    // Not owned by a shared_ptr: start refuses before opening anything.
    HttpServerIO unowned;
    EXPECT_THROW(unowned.start(0, true), std::logic_error);
}

TEST(HttpServerIO, PlaceholderListenerHasNoPortAndPublishesNothing) {
    auto io = std::make_shared<HttpServerIO>();
    EXPECT_EQ(io->socket()->socketFileDescriptor(), -1);
    EXPECT_THROW(io->listeningPort(), SocketError);
    io->publish("", "_quintarvel._tcp", "Quintarvel", {});
    EXPECT_EQ(io->netService(), nullptr);
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

TEST(HttpServerIO, DefaultHandlerAnswersNotFound) {
    auto io = runningServer();
    EXPECT_EQ(served(*io, "GET /anything HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 404 Not Found\r\n" + serverLine() + "\r\n");
}

TEST(HttpServerIO, FailingHandlerAnswers500AndFailedWritesAreReported) {
    auto server = runningServer<HttpServer>();
    server->GET["/throw"] = [](std::shared_ptr<HttpRequest>) -> HttpResponse {
        throw std::runtime_error("handler broke");
    };
    server->GET["/badwriter"] = [](std::shared_ptr<HttpRequest>) {
        return HttpResponse::raw(200, "OK", std::nullopt, [](HttpResponseBodyWriter &) {
            throw SocketError(SocketError::Case::writeFailed, "Broken pipe");
        });
    };
    EXPECT_EQ(served(*server, "GET /throw HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 500 Internal Server Error\r\n" + serverLine() + "\r\n");
    testing::internal::CaptureStdout();
    std::string answer = served(*server, "GET /badwriter HTTP/1.1\r\n\r\n");
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\n" + serverLine() + "\r\n");
    EXPECT_EQ(printed, "Failed to send response: writeFailed(\"Broken pipe\")\n");
}

TEST(HttpServerIO, UnreadableRequestEndsTheConnectionSilently) {
    auto io = runningServer();
    EXPECT_EQ(served(*io, "GET /\r\n\r\n"), "");
    EXPECT_EQ(served(*io, "PUT / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), "");
}

class RecordingSwitchDelegate : public HttpServerIODelegate {
  public:
    void socketSwitchingProtocols(std::shared_ptr<Socket> socket) override { told = socket.get(); }
    Socket *told = nullptr;
};

TEST(HttpServerIO, SwitchProtocolsHandsTheSocketToTheSessionThenCloses) {
    auto server = runningServer<HttpServer>();
    auto delegate = std::make_shared<RecordingSwitchDelegate>();
    server->setDelegate(delegate);
    Socket *sessionSocket = nullptr;
    std::string sessionRead;
    server->GET["/ws"] = [&](std::shared_ptr<HttpRequest>) {
        return HttpResponse::switchProtocols({{"Upgrade", "test"}},
                                             [&](std::shared_ptr<Socket> socket) {
                                                 sessionSocket = socket.get();
                                                 auto bytes = socket->readBytes(5);
                                                 sessionRead.assign(bytes.begin(), bytes.end());
                                                 socket->writeString("session");
                                             });
    };
    // The bytes after the request belong to the session; keep-alive changes nothing.
    std::string answer = served(*server, "GET /ws HTTP/1.1\r\nConnection: keep-alive\r\n\r\nhello");
    EXPECT_EQ(answer, "HTTP/1.1 101 Switching Protocols\r\n" + serverLine() +
                          "Upgrade: test\r\n\r\nsession");
    EXPECT_EQ(sessionRead, "hello");
    EXPECT_NE(sessionSocket, nullptr);
    EXPECT_EQ(delegate->told, sessionSocket);
}

} // namespace
} // namespace quintarvel
