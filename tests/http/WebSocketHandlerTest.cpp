#include "http/WebSocketHandler.h"

#include "support/WebSocketTestClient.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

HttpRequest requestWith(HttpRequest::HeaderMap headers) {
    HttpRequest request;
    request.method = "GET";
    request.path = "/ws";
    request.headers = std::move(headers);
    return request;
}

std::string badRequestText(const HttpResponse &response) {
    EXPECT_EQ(response.kind(), HttpResponse::Case::badRequest);
    if (!response.body())
        return "(no body)";
    return std::get<HttpResponseBody::Text>(response.body()->value()).text;
}

TEST(WebSocketHandshake, RefusesMissingOrWrongHeadersNamingTheValue) {
    const std::string key(test::rfcSampleKey);
    struct Case {
        HttpRequest::HeaderMap headers;
        std::string body;
    } cases[] = {
        {{{"connection", "Upgrade"}, {"sec-websocket-key", key}},
         "Invalid value of 'Upgrade' header: unknown"},
        {{{"upgrade", "h2c"}, {"connection", "Upgrade"}, {"sec-websocket-key", key}},
         "Invalid value of 'Upgrade' header: h2c"},
        {{{"upgrade", "websocket"}, {"sec-websocket-key", key}},
         "Invalid value of 'Connection' header: unknown"},
        {{{"upgrade", "websocket"}, {"connection", "keep-alive"}, {"sec-websocket-key", key}},
         "Invalid value of 'Connection' header: keep-alive"},
        {{{"upgrade", "websocket"}, {"connection", "Upgrade"}},
         "Invalid value of 'Sec-Websocket-Key' header: unknown"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(badRequestText(upgradeToWebSocket(requestWith(c.headers), {})), c.body);
    }
}

TEST(WebSocketHandshake, AcceptsTokensInAnyCaseAndAnswersTheRfcSample) {
    auto response =
        upgradeToWebSocket(requestWith({{"upgrade", "WebSocket"},
                                        {"connection", "keep-alive, Upgrade"},
                                        {"sec-websocket-key", std::string(test::rfcSampleKey)}}),
                           {});
    ASSERT_EQ(response.kind(), HttpResponse::Case::switchProtocols);
    EXPECT_TRUE(response.session());
    EXPECT_EQ(*response.headers(), (HttpResponse::HeaderMap{
                                       {"Upgrade", "WebSocket"},
                                       {"Connection", "Upgrade"},
                                       {"Sec-WebSocket-Accept", std::string(test::rfcSampleAccept)},
                                   }));
    // The key is not examined: an empty one is hashed like any other.
    auto empty = upgradeToWebSocket(
        requestWith(
            {{"upgrade", "websocket"}, {"connection", "upgrade"}, {"sec-websocket-key", ""}}),
        {});
    ASSERT_EQ(empty.kind(), HttpResponse::Case::switchProtocols);
    EXPECT_EQ(empty.headers()->at("Sec-WebSocket-Accept"), "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w=");
}

} // namespace
} // namespace quintarvel
