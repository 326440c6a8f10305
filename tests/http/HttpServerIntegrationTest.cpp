#include "http/HttpServer.h"

#include "support/LoopbackHttpClient.h"
#include "support/PrivateAvahi.h"
#include "support/RecordingNetServiceDelegate.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <future>
#include <thread>

namespace quintarvel {
namespace {

using test::getRequest;
using test::LoopbackHttpClient;
using State = HttpServerIO::HttpServerIOState;

constexpr auto patience = std::chrono::seconds(60);

// Starts on an ephemeral port of 127.0.0.1 and returns the port.
std::uint16_t startOnLoopback(HttpServerIO &server) {
    server.listenAddressIPv4 = "127.0.0.1";
    server.start(0, true, DispatchPriority::background);
    return server.listeningPort();
}

HttpHandler text(std::string body) {
    return [body](std::shared_ptr<HttpRequest>) {
        return HttpResponse::ok(HttpResponseBody::text(body));
    };
}

class ServerOnLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        server->GET["/hello"] = text("hello");
        server->GET["/users/:id"] = [](std::shared_ptr<HttpRequest> request) {
            return HttpResponse::ok(HttpResponseBody::text(request->params.at(":id") + " from " +
                                                           request->address.value_or("?")));
        };
        server->GET["/moved"] = [](std::shared_ptr<HttpRequest>) {
            return HttpResponse::movedTemporarily("/hello");
        };
    }
    void TearDown() override { server->stop(); }
    std::uint16_t start() { return port = startOnLoopback(*server); }

    std::shared_ptr<HttpServer> server = std::make_shared<HttpServer>();
    std::uint16_t port = 0;
};

TEST_F(ServerOnLoopback, KeepAliveServesSeveralRequestsOnOneConnection) {
    start();
    LoopbackHttpClient client(port);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.send(getRequest("/users/7", "Connection: keep-alive\r\n")));
        auto response = client.readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
        EXPECT_EQ(response->header("Content-Length"), "16");
        EXPECT_EQ(response->header("Connection"), "keep-alive");
        EXPECT_EQ(response->body, "7 from 127.0.0.1");
    }
    // Two requests sent at once are both answered, in order.
    ASSERT_TRUE(client.send(getRequest("/hello", "Connection: keep-alive\r\n") +
                            getRequest("/users/8", "Connection: keep-alive\r\n")));
    EXPECT_EQ(client.readResponse()->body, "hello");
    EXPECT_EQ(client.readResponse()->body, "8 from 127.0.0.1");
}

TEST_F(ServerOnLoopback, KeepAliveRuleIsExact) {
    start();
    struct Case {
        std::string header;
        bool kept;
    } cases[] = {
        {"Connection: \t keep-alive \t\r\n", true},
        {"Connection: Keep-Alive\r\n", false},
        {"Connection: keep-alive, Upgrade\r\n", false},
        {"", false}, // HTTP/1.1 without the header closes too
    };
    for (const auto &c : cases) {
        LoopbackHttpClient client(port);
        ASSERT_TRUE(client.send(getRequest("/hello", c.header)));
        auto response = client.readResponse();
        ASSERT_TRUE(response) << c.header;
        EXPECT_EQ(response->header("Connection").has_value(), c.kept) << c.header;
        if (c.kept) {
            ASSERT_TRUE(client.send(getRequest("/hello")));
            EXPECT_TRUE(client.readResponse()) << c.header;
        } else {
            EXPECT_TRUE(client.closedByServer()) << c.header;
        }
    }
}

TEST_F(ServerOnLoopback, AnswerWithoutLengthClosesDespiteKeepAlive) {
    start();
    LoopbackHttpClient client(port);
    ASSERT_TRUE(client.send(getRequest("/moved", "Connection: keep-alive\r\n")));
    auto response = client.readResponse(); // no length: read to the end
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 307);
    EXPECT_EQ(response->header("Location"), "/hello");
    EXPECT_FALSE(response->header("Content-Length"));
    EXPECT_FALSE(response->header("Connection"));
}

TEST_F(ServerOnLoopback, MiddlewareNotFoundHandlerAndMethodCase) {
    server->middleware.push_back([](std::shared_ptr<HttpRequest> request) {
        if (request->path == "/blocked")
            return std::optional(HttpResponse::forbidden());
        return std::optional<HttpResponse>();
    });
    (*server)["/any"] = text("any");
    start();
    auto fetch = [&](const std::string &request) {
        LoopbackHttpClient client(port);
        client.send(request);
        auto response = client.readResponse();
        return response ? std::to_string(response->status) + " " + response->body
                        : std::string("none");
    };
    EXPECT_EQ(fetch(getRequest("/blocked")), "403 ");
    EXPECT_EQ(fetch(getRequest("/nothing")), "404 ");
    EXPECT_EQ(fetch("get /hello HTTP/1.1\r\n\r\n"), "404 ");
    EXPECT_EQ(fetch("get /any HTTP/1.1\r\n\r\n"), "200 any");
    server->notFoundHandler = [](std::shared_ptr<HttpRequest> request) {
        return HttpResponse::ok(HttpResponseBody::text("no " + request->path + " " +
                                                       std::to_string(request->params.size())));
    };
    EXPECT_EQ(fetch(getRequest("/nothing")), "200 no /nothing 0");
}

TEST_F(ServerOnLoopback, SwitchProtocolsSessionOwnsTheConnectionThenItCloses) {
    std::promise<std::string> sessionSaw;
    server->GET["/upgrade"] = [&](std::shared_ptr<HttpRequest>) {
        return HttpResponse::switchProtocols({{"Upgrade", "echo"}},
                                             [&](std::shared_ptr<Socket> socket) {
                                                 std::string line = socket->readTextLine();
                                                 socket->writeString("echo: " + line + "\n");
                                                 sessionSaw.set_value(line);
                                             });
    };
    start();
    LoopbackHttpClient client(port);
    // The first session bytes come in the same segment as the request.
    ASSERT_TRUE(client.send(getRequest("/upgrade", "Connection: keep-alive\r\n") + "ping\n"));
    std::string all = client.readToEnd(); // ends because the server closes after the session
    EXPECT_EQ(all.substr(0, all.find("\r\n")), "HTTP/1.1 101 Switching Protocols");
    EXPECT_EQ(all.find("Content-Length"), std::string::npos);
    EXPECT_EQ(all.find("keep-alive"), std::string::npos);
    EXPECT_NE(all.find("Upgrade: echo\r\n\r\necho: ping\n"), std::string::npos) << all;
    EXPECT_EQ(sessionSaw.get_future().get(), "ping");
}

TEST_F(ServerOnLoopback, StartTwiceChangesNothingAndIPv6LoopbackWorks) {
    start();
    auto listener = server->socket();
    server->start(0, true);
    EXPECT_EQ(server->socket(), listener);
    EXPECT_EQ(server->listeningPort(), port);
    server->stop();

    server->listenAddressIPv6 = "::1";
    server->start(0, false);
    EXPECT_FALSE(server->listensOnIPv4());
    LoopbackHttpClient client(server->listeningPort(), true);
    client.send(getRequest("/users/1"));
    EXPECT_EQ(client.readResponse()->body, "1 from ::1");
}

TEST_F(ServerOnLoopback, BusyPortRaisesBindFailedAndALaterStartSucceeds) {
    auto other = Socket::openListener(0, true, 16, "127.0.0.1");
    server->listenAddressIPv4 = "127.0.0.1";
    try {
        server->start(other->localPort(), true);
        FAIL() << "start on a busy port succeeded";
    } catch (const SocketError &error) {
        EXPECT_EQ(error.kind(), SocketError::Case::bindFailed);
    }
    EXPECT_EQ(server->state(), State::starting);
    EXPECT_FALSE(server->isRunning());
    start();
    EXPECT_TRUE(server->isRunning());
    LoopbackHttpClient client(port);
    client.send(getRequest("/hello"));
    EXPECT_EQ(client.readResponse()->body, "hello");
}

// Waits, by a custom deleter, until the last owner (the test, the accept loop, a client task)
// has let go of the server.
struct Released {
    std::promise<void> promise;
    std::future<void> future = promise.get_future();
};

std::shared_ptr<HttpServer> watchedServer(const std::shared_ptr<Released> &released) {
    return std::shared_ptr<HttpServer>(new HttpServer, [released](HttpServer *s) {
        delete s;
        released->promise.set_value();
    });
}

TEST(HttpServerStop, EndsBlockedAcceptAndAWaitingKeepAliveClient) {
    auto released = std::make_shared<Released>();
    auto server = watchedServer(released);
    server->GET["/hello"] = text("hello");
    std::uint16_t port = startOnLoopback(*server);
    LoopbackHttpClient client(port);
    client.send(getRequest("/hello", "Connection: keep-alive\r\n"));
    ASSERT_TRUE(client.readResponse());
    // The server's task now waits for the next request, the accept loop for a client.
    server->stop();
    EXPECT_EQ(server->state(), State::stopped);
    EXPECT_TRUE(client.closedByServer());
    EXPECT_TRUE(server->sockets().empty());
    server->stop(); // not running: nothing happens
    server.reset();
    // Only the accept loop and the client task held it; both have ended.
    EXPECT_EQ(released->future.wait_for(patience), std::future_status::ready);
}

std::size_t entriesIn(const char *folder) {
    std::size_t count = 0;
    if (DIR *dir = opendir(folder)) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

TEST(HttpServerLimits, NoDescriptorOrThreadLeaksAfterAThousandConnections) {
    const std::size_t descriptorsBefore = entriesIn("/proc/self/fd");
    auto released = std::make_shared<Released>();
    auto server = watchedServer(released);
    server->GET["/hello"] = text("hello");
    std::uint16_t port = startOnLoopback(*server);
    auto once = [&](bool keepAlive) {
        LoopbackHttpClient client(port);
        client.send(getRequest("/hello", keepAlive ? "Connection: keep-alive\r\n" : ""));
        auto response = client.readResponse();
        return response && response->body == "hello";
    };
    // Idle pool threads stay around for a while: count after the pool has warmed up, and
    // allow for a few threads that are still finishing their previous client.
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(once(i % 2 == 0));
    const std::size_t threadsBefore = entriesIn("/proc/self/task");
    int good = 0;
    for (int i = 0; i < 1000; ++i)
        good += once(i % 2 == 0);
    EXPECT_EQ(good, 1000);
    EXPECT_LE(entriesIn("/proc/self/task"), threadsBefore + 8);
    server->stop();
    server.reset();
    ASSERT_EQ(released->future.wait_for(patience), std::future_status::ready);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptorsBefore);
}

TEST(HttpServerLimits, ClientBeyondTheCapIsClosedAndOthersAreStillServed) {
    auto server = std::make_shared<HttpServer>();
    server->clientLimit = 2;
    server->GET["/hello"] = text("hello");
    std::uint16_t port = startOnLoopback(*server);
    LoopbackHttpClient first(port), second(port);
    // Both are being served once each has had an answer.
    for (auto *client : {&first, &second}) {
        client->send(getRequest("/hello", "Connection: keep-alive\r\n"));
        ASSERT_TRUE(client->readResponse());
    }
    LoopbackHttpClient third(port);
    EXPECT_TRUE(third.closedByServer());
    for (auto *client : {&first, &second}) {
        client->send(getRequest("/hello", "Connection: keep-alive\r\n"));
        auto response = client->readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->body, "hello");
    }
    server->stop();
}

TEST(HttpServerLimits, SilentAndTricklingClientsAreDisconnectedButBodiesAreNot) {
    auto server = std::make_shared<HttpServer>();
    server->idleTimeout = std::chrono::milliseconds(1500);
    server->PUT["/upload"] = [](std::shared_ptr<HttpRequest> request) {
        return HttpResponse::ok(HttpResponseBody::text(std::to_string(request->body.size())));
    };
    std::uint16_t port = startOnLoopback(*server);

    LoopbackHttpClient silent(port);
    EXPECT_TRUE(silent.closedByServer());

    LoopbackHttpClient kept(port);
    kept.send("PUT /upload HTTP/1.1\r\nContent-Length: 1\r\nConnection: keep-alive\r\n\r\nx");
    ASSERT_TRUE(kept.readResponse());
    EXPECT_TRUE(kept.closedByServer()); // idle between requests

    // Header bytes that keep coming, each well within the idle time, still must finish
    // within it: the server gives up before the head is complete.
    LoopbackHttpClient trickling(port);
    const std::string head = "PUT /upload HTTP/1.1\r\nX-Pad: " + std::string(40, 'a');
    bool cut = false;
    for (char c : head) {
        if (!trickling.send(std::string(1, c))) {
            cut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // pacing, not waiting
    }
    EXPECT_TRUE(cut || trickling.closedByServer());

    // A body that keeps arriving for longer than the idle time is read whole.
    LoopbackHttpClient uploading(port);
    uploading.send("PUT /upload HTTP/1.1\r\nContent-Length: 8\r\n\r\n");
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400)); // pacing, not waiting
        ASSERT_TRUE(uploading.send("b"));
    }
    auto response = uploading.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, "8");
    server->stop();
}

TEST(HttpServerPublish, AnnouncesTheListenersPortOnPrivateAvahi) {
    if (auto reason = test::PrivateAvahi::unavailableReason())
        GTEST_SKIP() << *reason;
    test::PrivateAvahi avahi;
    auto server = std::make_shared<HttpServer>();
    std::uint16_t port = startOnLoopback(*server);
    auto delegate = std::make_shared<test::RecordingNetServiceDelegate>();
    const std::string name = test::PrivateAvahi::uniqueName("Quintarvel");

    // Nothing running yet: not published, and nothing waits.
    server->publish("", "_quintarvel._tcp", name, delegate);
    ASSERT_TRUE(delegate->waitFor(1));
    EXPECT_EQ(delegate->events().back(), "not published");

    avahi.startBus();
    avahi.startAvahi();
    server->publish("", "_quintarvel._tcp", name, delegate);
    ASSERT_TRUE(delegate->waitFor(2)) << avahi.avahiLog();
    ASSERT_EQ(delegate->events().back(), "published") << avahi.avahiLog();
    EXPECT_EQ(server->netService()->port(), port);
    auto lines = avahi.browse("_quintarvel._tcp");
    std::string all;
    for (const auto &line : lines)
        all += line + "\n";
    EXPECT_TRUE(test::PrivateAvahi::listsResolved(lines, name, "_quintarvel._tcp", port)) << all;

    // Publishing again replaces the announcement without colliding with the old one.
    server->publish("", "_quintarvel._tcp", name, delegate);
    ASSERT_TRUE(delegate->waitFor(3));
    EXPECT_EQ(delegate->events().back(), "published");
    server->stop();
}

} // namespace
} // namespace quintarvel
