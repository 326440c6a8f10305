#include "http/HttpServer.h"

#include "support/LoopbackHttpClient.h"
#include "support/OpenDescriptors.h"
#include "support/PrivateAvahi.h"
#include "support/RecordingNetServiceDelegate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace quintarvel {
namespace {

using test::getRequest;
using test::LoopbackHttpClient;
using State = HttpServerIO::HttpServerIOState;

const std::string keepAlive = "Connection: keep-alive\r\n";

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

// One request on a connection of its own: "status body", or "none" without an answer.
std::string fetch(std::uint16_t port, const std::string &request) {
    LoopbackHttpClient client(port);
    client.send(request);
    auto response = client.readResponse();
    return response ? std::to_string(response->status) + " " + response->body : "none";
}

// Lets a test wait, by a custom deleter, until the last owner (the test, the accept loop, a
// client task) has let go of the server.
std::shared_ptr<HttpServer> watchedServer(std::future<void> &released) {
    auto promise = std::make_shared<std::promise<void>>();
    released = promise->get_future();
    return std::shared_ptr<HttpServer>(new HttpServer, [promise](HttpServer *s) {
        delete s;
        promise->set_value();
    });
}

// One response head read byte by byte, so that nothing after it is taken: "" when none comes
// within the limit. For interim answers, which LoopbackHttpClient::readResponse would take for
// a final answer without a length.
std::string readHead(LoopbackHttpClient &client) {
    std::string head;
    while (!head.ends_with("\r\n\r\n")) {
        pollfd p{client.descriptor(), POLLIN, 0};
        char byte;
        if (::poll(&p, 1, 30'000) != 1 || ::recv(client.descriptor(), &byte, 1, 0) != 1)
            return "";
        head.push_back(byte);
    }
    return head;
}

std::size_t entriesIn(const char *folder) {
    const std::filesystem::directory_iterator entries(folder);
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

class ServerOnLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        server->GET["/hello"] = text("hello");
        server->PUT["/upload"] = [this](std::shared_ptr<HttpRequest> request) {
            ++uploads;
            // Storage of exactly the body's length: it was never copied while it grew.
            const bool exact = request->body.capacity() == request->body.size();
            return HttpResponse::ok(HttpResponseBody::text(std::to_string(request->body.size()) +
                                                           (exact ? "" : " regrown")));
        };
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
    std::atomic<int> uploads = 0;
};

std::string putHead(std::size_t length, const std::string &extraHeaders = "") {
    return "PUT /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(length) +
           "\r\n" + extraHeaders + "\r\n";
}

TEST_F(ServerOnLoopback, KeepAliveReusesTheConnectionByItsExactRule) {
    start();
    LoopbackHttpClient client(port);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.send(getRequest("/users/7", keepAlive)));
        auto response = client.readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->header("Content-Length"), "16");
        EXPECT_EQ(response->header("Connection"), "keep-alive");
        EXPECT_EQ(response->body, "7 from 127.0.0.1");
    }
    // Two requests sent at once are both answered, in order.
    ASSERT_TRUE(client.send(getRequest("/hello", keepAlive) + getRequest("/users/8", keepAlive)));
    EXPECT_EQ(client.readResponse()->body, "hello");
    EXPECT_EQ(client.readResponse()->body, "8 from 127.0.0.1");

    const std::pair<std::string, bool> cases[] = {
        {"Connection: \t keep-alive \t\r\n", true},
        {"Connection: Keep-Alive\r\n", false},
        {"Connection: keep-alive, Upgrade\r\n", false},
        {"", false}, // HTTP/1.1 without the header closes too
    };
    for (const auto &[header, kept] : cases) {
        LoopbackHttpClient one(port);
        ASSERT_TRUE(one.send(getRequest("/hello", header)));
        auto response = one.readResponse();
        ASSERT_TRUE(response) << header;
        // An HTTP/1.1 client keeps a connection unless told: a close is announced.
        EXPECT_EQ(response->header("Connection"), kept ? "keep-alive" : "close") << header;
        if (kept) {
            ASSERT_TRUE(one.send(getRequest("/hello")));
            EXPECT_TRUE(one.readResponse()) << header;
        } else {
            EXPECT_TRUE(one.closedByServer()) << header;
        }
    }
    // An answer without a length closes despite keep-alive.
    LoopbackHttpClient moved(port);
    ASSERT_TRUE(moved.send(getRequest("/moved", keepAlive)));
    auto response = moved.readResponse(); // no length: read to the end
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 307);
    EXPECT_EQ(response->header("Location"), "/hello");
    EXPECT_FALSE(response->header("Content-Length"));
    EXPECT_EQ(response->header("Connection"), "close");
}

TEST_F(ServerOnLoopback, MiddlewareNotFoundHandlerAndMethodCase) {
    server->middleware.push_back([](std::shared_ptr<HttpRequest> request) {
        return request->path == "/blocked" ? std::optional(HttpResponse::forbidden())
                                           : std::nullopt;
    });
    (*server)["/any"] = text("any");
    start();
    EXPECT_EQ(fetch(port, getRequest("/blocked")), "403 ");
    EXPECT_EQ(fetch(port, getRequest("/nothing")), "404 ");
    EXPECT_EQ(fetch(port, "get /hello HTTP/1.1\r\n\r\n"), "404 ");
    EXPECT_EQ(fetch(port, "get /any HTTP/1.1\r\n\r\n"), "200 any");
    server->notFoundHandler = [](std::shared_ptr<HttpRequest> request) {
        return HttpResponse::ok(HttpResponseBody::text("no " + request->path + " " +
                                                       std::to_string(request->params.size())));
    };
    EXPECT_EQ(fetch(port, getRequest("/nothing")), "200 no /nothing 0");
}

TEST_F(ServerOnLoopback, SwitchProtocolsSessionOwnsTheConnectionThenItCloses) {
    struct Delegate : HttpServerIODelegate {
        void socketSwitchingProtocols(std::shared_ptr<Socket> socket) override {
            told = socket.get();
        }
        std::atomic<Socket *> told = nullptr;
    };
    auto delegate = std::make_shared<Delegate>();
    server->setDelegate(delegate);
    std::promise<std::string> sessionSaw;
    server->GET["/upgrade"] = [&](std::shared_ptr<HttpRequest>) {
        return HttpResponse::switchProtocols({{"Upgrade", "echo"}},
                                             [&](std::shared_ptr<Socket> socket) {
                                                 EXPECT_EQ(delegate->told, socket.get());
                                                 std::string line = socket->readTextLine();
                                                 socket->writeString("echo: " + line + "\n");
                                                 sessionSaw.set_value(line);
                                             });
    };
    start();
    LoopbackHttpClient client(port);
    // The first session bytes come in the same segment as the request.
    ASSERT_TRUE(client.send(getRequest("/upgrade", keepAlive) + "ping\n"));
    const std::string all = client.readToEnd(); // ends because the server closes after the session
    EXPECT_TRUE(all.starts_with("HTTP/1.1 101 Switching Protocols\r\n")) << all;
    EXPECT_EQ(all.find("Content-Length"), std::string::npos);
    EXPECT_EQ(all.find("keep-alive"), std::string::npos);
    EXPECT_TRUE(all.ends_with("Upgrade: echo\r\n\r\necho: ping\n")) << all;
    EXPECT_EQ(sessionSaw.get_future().get(), "ping");
}

TEST_F(ServerOnLoopback, StartTwiceChangesNothingBusyPortFailsAndIPv6Works) {
    auto other = Socket::openListener(0, true, 16, "127.0.0.1");
    server->listenAddressIPv4 = "127.0.0.1";
    try {
        server->start(other->localPort(), true);
        FAIL() << "start on a busy port succeeded";
    } catch (const SocketError &error) {
        EXPECT_EQ(error.kind(), SocketError::Case::bindFailed);
    }
    EXPECT_EQ(server->state(), State::starting);
    start(); // a later start succeeds
    auto listener = server->socket();
    server->start(0, true);
    EXPECT_EQ(server->socket(), listener);
    EXPECT_EQ(fetch(port, getRequest("/hello")), "200 hello");
    server->stop();

    server->listenAddressIPv6 = "::1";
    server->start(0, false);
    EXPECT_FALSE(server->listensOnIPv4());
    LoopbackHttpClient client(server->listeningPort(), true);
    client.send(getRequest("/users/1"));
    EXPECT_EQ(client.readResponse()->body, "1 from ::1");
}

TEST_F(ServerOnLoopback, TransferCodedBodiesAre411AndNeverReachAHandler) {
    start();
    LoopbackHttpClient client(port);
    ASSERT_TRUE(client.send("PUT /upload HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: "
                            "chunked\r\n" +
                            keepAlive + "\r\n5\r\nhello\r\n0\r\n\r\n"));
    auto response = client.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 411);
    EXPECT_EQ(response->reason, "Length Required");
    EXPECT_EQ(response->header("Connection"), "close");
    EXPECT_EQ(response->body, ""); // and the chunks were not taken for a request
    EXPECT_EQ(uploads, 0);
    // "identity" is no transfer coding.
    EXPECT_EQ(fetch(port, putHead(3, "Transfer-Encoding: identity\r\n") + "abc"), "200 3");
}

TEST_F(ServerOnLoopback, BodiesBeyondTheBudgetAre413BeforeAnyOfThemIsRead) {
    server->bodyBudget = 1000;
    start();
    // Answered at once, though the body never comes.
    LoopbackHttpClient tooLarge(port);
    ASSERT_TRUE(tooLarge.send(putHead(1001, keepAlive)));
    auto response = tooLarge.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 413);
    EXPECT_EQ(response->reason, "Content Too Large");
    EXPECT_EQ(response->header("Connection"), "close");
    EXPECT_TRUE(tooLarge.closedByServer());

    // A body that fits exactly is read. The budget is shared: a body being read leaves the
    // rest to the others.
    LoopbackHttpClient first(port);
    ASSERT_TRUE(first.send(putHead(1000, keepAlive) + std::string(1000, 'a')));
    EXPECT_EQ(first.readResponse()->body, "1000");
    ASSERT_TRUE(first.send(putHead(600, "Expect: 100-continue\r\n")));
    ASSERT_EQ(readHead(first), "HTTP/1.1 100 Continue\r\n\r\n"); // its 600 bytes are counted
    EXPECT_EQ(fetch(port, putHead(600) + std::string(600, 'b')), "413 ");
    EXPECT_EQ(fetch(port, putHead(400) + std::string(400, 'b')), "200 400");
    ASSERT_TRUE(first.send(std::string(600, 'a')));
    EXPECT_EQ(first.readResponse()->body, "600");
    EXPECT_EQ(uploads, 3);
}

TEST_F(ServerOnLoopback, ExpectContinueIsAnsweredBeforeTheBodyIsRead) {
    server->bodyBudget = std::int64_t{64} << 20;
    start();
    LoopbackHttpClient client(port);
    // A body of an odd size, so storage that grew with it would show.
    const std::size_t size = (std::size_t{3} << 20) + 7;
    ASSERT_TRUE(client.send(putHead(size, "Expect: 100-continue\r\n" + keepAlive)));
    ASSERT_EQ(readHead(client), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(client.send(std::string(size, 'x')));
    auto response = client.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, std::to_string(size));
    // Refused at once, in place of the interim answer.
    ASSERT_TRUE(client.send(putHead(std::size_t{65} << 20, "Expect: 100-continue\r\n")));
    EXPECT_TRUE(readHead(client).starts_with("HTTP/1.1 413 Content Too Large\r\n"));
    EXPECT_EQ(uploads, 1);
}

TEST(HttpServerStop, EndsBlockedAcceptAndAWaitingKeepAliveClient) {
    std::future<void> released;
    auto server = watchedServer(released);
    server->GET["/hello"] = text("hello");
    LoopbackHttpClient client(startOnLoopback(*server));
    client.send(getRequest("/hello", keepAlive));
    ASSERT_TRUE(client.readResponse());
    // The server's task now waits for the next request, the accept loop for a client.
    server->stop();
    EXPECT_EQ(server->state(), State::stopped);
    EXPECT_TRUE(client.closedByServer());
    EXPECT_TRUE(server->sockets().empty());
    server->stop(); // not running: nothing happens
    server.reset();
    // Only the accept loop and the client task held it; both have ended.
    EXPECT_EQ(released.wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

// Clients keep asking on kept-alive connections while the server stops and starts again on the
// same port: every stop ends the connections of the moment, every answer is right, and the
// server is let go at the end. The ThreadSanitizer build runs this too: a close from stop must
// never race a serving task's read or write.
TEST(HttpServerStop, StopAndStartWhileClientsAskLeavesNothingBehind) {
    std::future<void> released;
    auto server = watchedServer(released);
    server->GET["/hello"] = text("hello");
    const std::uint16_t port = startOnLoopback(*server);
    std::mutex mutex;
    std::condition_variable answered;
    int answers = 0;   // guarded by mutex
    bool done = false; // guarded by mutex
    int wrong = 0;     // guarded by mutex
    const auto ask = [&] {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (done)
                    return;
            }
            try {
                LoopbackHttpClient client(port);
                while (client.send(getRequest("/hello", keepAlive) +
                                   getRequest("/hello", keepAlive))) {
                    auto first = client.readResponse();
                    auto second = first ? client.readResponse() : std::nullopt;
                    if (!second)
                        break;
                    std::lock_guard lock(mutex);
                    wrong += (first->body != "hello") + (second->body != "hello");
                    answers += 2;
                    answered.notify_all();
                    if (done)
                        return;
                }
            } catch (const std::runtime_error &) {
                // Refused while the server was stopped: ask again.
            }
        }
    };
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back(ask);
    bool served = true;
    for (int round = 0; round < 20 && served; ++round) {
        {
            std::unique_lock lock(mutex);
            const int before = answers;
            served = answered.wait_for(lock, std::chrono::seconds(60),
                                       [&] { return answers >= before + 8; });
        }
        server->stop();
        server->start(port, true, DispatchPriority::background);
    }
    EXPECT_TRUE(served);
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    server->stop();
    for (auto &client : clients)
        client.join();
    EXPECT_EQ(wrong, 0);
    server.reset();
    EXPECT_EQ(released.wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

TEST(HttpServerLimits, NoDescriptorOrThreadLeaksAfterAThousandConnections) {
    const auto descriptorsBefore = test::openDescriptorTargets();
    std::future<void> released;
    auto server = watchedServer(released);
    server->GET["/hello"] = text("hello");
    const std::uint16_t port = startOnLoopback(*server);
    const auto once = [&](int i) {
        return fetch(port, getRequest("/hello", i % 2 ? "" : keepAlive)) == "200 hello";
    };
    // Idle pool threads stay around for a while: count after the pool has warmed up, and
    // allow for a few threads that are still finishing their previous client.
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(once(i));
    const std::size_t threadsBefore = entriesIn("/proc/self/task");
    int good = 0;
    for (int i = 0; i < 1000; ++i)
        good += once(i);
    EXPECT_EQ(good, 1000);
    EXPECT_LE(entriesIn("/proc/self/task"), threadsBefore + 8);
    server->stop();
    server.reset();
    ASSERT_EQ(released.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const auto leftOpen = test::descriptorsOpenedSince(descriptorsBefore);
    EXPECT_TRUE(leftOpen.empty()) << ::testing::PrintToString(leftOpen);
}

TEST(HttpServerLimits, ClientBeyondTheCapIsClosedAndOthersAreStillServed) {
    auto server = std::make_shared<HttpServer>();
    server->clientLimit = 2;
    server->GET["/hello"] = text("hello");
    const std::uint16_t port = startOnLoopback(*server);
    LoopbackHttpClient first(port), second(port);
    const auto ask = [](LoopbackHttpClient &client) {
        client.send(getRequest("/hello", keepAlive));
        auto response = client.readResponse();
        return response && response->body == "hello";
    };
    // Both are being served once each has had an answer.
    ASSERT_TRUE(ask(first) && ask(second));
    LoopbackHttpClient third(port);
    EXPECT_TRUE(third.closedByServer());
    EXPECT_TRUE(ask(first));
    EXPECT_TRUE(ask(second));
    server->stop();
}

TEST(HttpServerLimits, AWriteThatMakesNoProgressDropsTheClient) {
    auto server = std::make_shared<HttpServer>();
    server->idleTimeout = std::chrono::milliseconds(300);
    auto gaveUp = std::make_shared<std::promise<std::string>>();
    server->GET["/flood"] = [gaveUp](std::shared_ptr<HttpRequest>) {
        return HttpResponse::raw(200, "OK", std::nullopt, [gaveUp](HttpResponseBodyWriter &out) {
            const std::vector<std::uint8_t> piece(1 << 20, 'x');
            try {
                for (;;)
                    out.writeBytes(piece);
            } catch (const SocketError &error) {
                gaveUp->set_value(error.what());
                throw;
            }
        });
    };
    LoopbackHttpClient client(startOnLoopback(*server));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.send(getRequest("/flood")));
    // The client never reads while the server writes.
    auto failure = gaveUp->get_future();
    ASSERT_EQ(failure.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const std::string stalled = "writeFailed(\"" + std::string(std::strerror(EAGAIN)) + "\")";
    EXPECT_EQ(failure.get(), stalled);
    // Dropped: what was sent ends, instead of the connection waiting for the client.
    EXPECT_TRUE(client.readToEnd().starts_with("HTTP/1.1 200 OK\r\n"));
    server->stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to send response: " + stalled + "\n");
}

TEST(HttpServerLimits, SilentAndTricklingClientsAreDisconnectedButBodiesAreNot) {
    auto server = std::make_shared<HttpServer>();
    server->idleTimeout = std::chrono::milliseconds(1500);
    server->PUT["/upload"] = [](std::shared_ptr<HttpRequest> request) {
        return HttpResponse::ok(HttpResponseBody::text(std::to_string(request->body.size())));
    };
    const std::uint16_t port = startOnLoopback(*server);
    LoopbackHttpClient silent(port);
    EXPECT_TRUE(silent.closedByServer());
    LoopbackHttpClient kept(port);
    kept.send("PUT /upload HTTP/1.1\r\nContent-Length: 1\r\n" + keepAlive + "\r\nx");
    ASSERT_TRUE(kept.readResponse());
    EXPECT_TRUE(kept.closedByServer()); // idle between requests

    // Header bytes that keep coming, each well within the idle time, still must finish
    // within it: the server gives up before the head is complete.
    LoopbackHttpClient trickling(port);
    const std::string head = "PUT /upload HTTP/1.1\r\nX-Pad: " + std::string(40, 'a');
    bool cut = false;
    for (std::size_t i = 0; i < head.size() && !cut; ++i) {
        cut = !trickling.send(head.substr(i, 1));
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
    const std::uint16_t port = startOnLoopback(*server);
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
    const auto lines = avahi.browse("_quintarvel._tcp");
    EXPECT_TRUE(test::PrivateAvahi::listsResolved(lines, name, "_quintarvel._tcp", port))
        << ::testing::PrintToString(lines);

    // Publishing again replaces the announcement without colliding with the old one.
    server->publish("", "_quintarvel._tcp", name, delegate);
    ASSERT_TRUE(delegate->waitFor(3));
    EXPECT_EQ(delegate->events().back(), "published");
    server->stop();
}

} // namespace
} // namespace quintarvel
