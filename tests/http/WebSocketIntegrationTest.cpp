#include "http/HttpServer.h"
#include "http/WebSocketHandler.h"

#include "support/LoopbackHttpClient.h"
#include "support/WebSocketTestClient.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <future>

namespace quintarvel {
namespace {

using test::clientFrame;
using test::LoopbackHttpClient;
using test::webSocketRequest;
using SessionPtr = std::shared_ptr<WebSocketSession>;

constexpr std::uint8_t fin = 0x80;
constexpr std::uint8_t opText = 1, opBinary = 2, opClose = 8, opPing = 9;

template <class T> T await(std::future<T> &future) {
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        throw std::runtime_error("the server did not get there in time");
    return future.get();
}

class WebSocketOnLoopback : public ::testing::Test {
  protected:
    void TearDown() override { server->stop(); }
    // Starts with a route whose sessions echo and tell the test when they open and end.
    std::uint16_t start() {
        server->GET["/echo"] = makeWebSocketHandler({
            .text = [](const SessionPtr &s, const std::string &t) { s->sendText("echo:" + t); },
            .binary = [](const SessionPtr &s,
                         const WebSocketSession::Bytes &b) { s->sendBinary(b); },
            .connected = [this](const SessionPtr &session) { opened->set_value(session); },
            .disconnected = [this](const SessionPtr &) { ended->set_value(); },
        });
        server->listenAddressIPv4 = "127.0.0.1";
        server->start(0, true, DispatchPriority::background);
        return server->listeningPort();
    }
    // Ready for the next session.
    void expectSession() {
        opened = std::make_shared<std::promise<std::weak_ptr<WebSocketSession>>>();
        ended = std::make_shared<std::promise<void>>();
        openedFuture = opened->get_future();
        endedFuture = ended->get_future();
    }

    std::shared_ptr<HttpServer> server = std::make_shared<HttpServer>();
    std::shared_ptr<std::promise<std::weak_ptr<WebSocketSession>>> opened;
    std::shared_ptr<std::promise<void>> ended;
    std::future<std::weak_ptr<WebSocketSession>> openedFuture; // not holding the session
    std::future<void> endedFuture;
};

TEST_F(WebSocketOnLoopback, HandshakeAndFramesSentWithItAreServedInOrder) {
    expectSession();
    LoopbackHttpClient client(start());
    // All in one segment: the frames must survive the server's read-ahead of the request.
    ASSERT_TRUE(client.send(webSocketRequest("/echo") + clientFrame(fin | opText, "first") +
                            clientFrame(fin | opPing, "p") +
                            clientFrame(fin | opBinary, std::string("\0\x01", 2)) +
                            clientFrame(fin | opClose, "\x03\xE8")));
    const std::string wire = client.readToEnd();
    const std::size_t headEnd = wire.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos) << wire;
    const std::string head = wire.substr(0, headEnd + 2);
    EXPECT_EQ(head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u) << head;
    for (const std::string &line : std::vector<std::string>{
             "Upgrade: WebSocket", "Connection: Upgrade", "Server: Quintarvel ",
             "Sec-WebSocket-Accept: " + std::string(test::rfcSampleAccept) + "\r\n"})
        EXPECT_NE(head.find("\r\n" + line), std::string::npos) << line;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos);

    const auto frames = test::parseServerFrames(std::string_view(wire).substr(headEnd + 4));
    const std::vector<std::pair<int, std::string>> expected{{0x81, "echo:first"},
                                                            {0x8A, "p"},
                                                            {0x82, std::string("\0\x01", 2)},
                                                            {0x88, ""},
                                                            {0x88, ""}};
    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].firstByte, expected[i].first) << i;
        EXPECT_FALSE(frames[i].masked);
        EXPECT_EQ(frames[i].payload, expected[i].second) << i;
    }
    await(endedFuture);
}

TEST_F(WebSocketOnLoopback, ClientThatGoesAwayOrServerStopEndsTheSession) {
    const std::uint16_t port = start();
    // The test holds each session, so that its teardown runs here and not in a later test.
    SessionPtr held;
    expectSession();
    {
        LoopbackHttpClient client(port);
        ASSERT_TRUE(client.send(webSocketRequest("/echo")));
        held = await(openedFuture).lock();
        testing::internal::CaptureStdout();
    } // the client disappears without a close frame
    await(endedFuture);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Unkown error recvFailed(", 0), 0u) << printed;
    held.reset();

    expectSession();
    LoopbackHttpClient client(port);
    ASSERT_TRUE(client.send(webSocketRequest("/echo")));
    held = await(openedFuture).lock();
    testing::internal::CaptureStdout();
    server->stop(); // wakes the session waiting for a frame
    await(endedFuture);
    printed = testing::internal::GetCapturedStdout();
    // The first session's teardown may still write its last close frame to its gone client and
    // print that failure first.
    EXPECT_TRUE(printed.starts_with("Unkown error recvFailed(") ||
                printed.find("\nUnkown error recvFailed(") != std::string::npos)
        << printed;
    const std::string wire = client.readToEnd();
    EXPECT_EQ(wire.find("\r\n\r\n") + 4, wire.size()) << "nothing after the 101 answer";
}

TEST_F(WebSocketOnLoopback, SendsToAClientThatNeverReadsGiveUpAndEndTheSession) {
    server->idleTimeout = std::chrono::milliseconds(300);
    auto gaveUp = std::make_shared<std::promise<void>>();
    server->GET["/flood"] = makeWebSocketHandler({
        .connected =
            [gaveUp](const SessionPtr &session) {
                const std::string piece(1 << 20, 'x');
                while (!session->socket->isShutdown())
                    session->sendText(piece);
                gaveUp->set_value();
            },
    });
    LoopbackHttpClient client(start());
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.send(webSocketRequest("/flood")));
    auto done = gaveUp->get_future();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    server->stop();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("writeFailed(\"" + std::string(std::strerror(EAGAIN)) + "\")\n", 0), 0u)
        << printed;
}

} // namespace
} // namespace quintarvel
