#include "http/WebSocketHandler.h"

#include "support/WebSocketTestClient.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

HttpResponse handshake(HttpRequest::HeaderMap headers) {
    HttpRequest request;
    request.method = "GET";
    request.path = "/ws";
    request.headers = std::move(headers);
    return upgradeToWebSocket(request, {});
}

TEST(WebSocketHandshake, RefusesMissingOrWrongHeadersNamingTheValue) {
    const std::string key(test::rfcSampleKey);
    const std::pair<HttpRequest::HeaderMap, std::string> cases[] = {
        {{{"connection", "Upgrade"}, {"sec-websocket-key", key}}, "'Upgrade' header: unknown"},
        {{{"upgrade", "h2c"}, {"connection", "Upgrade"}, {"sec-websocket-key", key}},
         "'Upgrade' header: h2c"},
        {{{"upgrade", "websocket"}, {"sec-websocket-key", key}}, "'Connection' header: unknown"},
        {{{"upgrade", "websocket"}, {"connection", "keep-alive"}, {"sec-websocket-key", key}},
         "'Connection' header: keep-alive"},
        {{{"upgrade", "websocket"}, {"connection", "Upgrade"}},
         "'Sec-Websocket-Key' header: unknown"},
    };
    for (const auto &[headers, text] : cases) {
        const HttpResponse response = handshake(headers);
        ASSERT_EQ(response.kind(), HttpResponse::Case::badRequest) << text;
        ASSERT_TRUE(response.body());
        EXPECT_EQ(std::get<HttpResponseBody::Text>(response.body()->value()).text,
                  "Invalid value of " + text);
    }
}

TEST(WebSocketHandshake, AcceptsTokensInAnyCaseAndAnswersTheRfcSample) {
    auto response = handshake({{"upgrade", "WebSocket"},
                               {"connection", "keep-alive, Upgrade"},
                               {"sec-websocket-key", std::string(test::rfcSampleKey)}});
    ASSERT_EQ(response.kind(), HttpResponse::Case::switchProtocols);
    EXPECT_TRUE(response.session());
    EXPECT_EQ(*response.headers(), (HttpResponse::HeaderMap{
                                       {"Upgrade", "WebSocket"},
                                       {"Connection", "Upgrade"},
                                       {"Sec-WebSocket-Accept", std::string(test::rfcSampleAccept)},
                                   }));
    // The key is not examined: an empty one is hashed like any other.
    auto empty =
        handshake({{"upgrade", "websocket"}, {"connection", "upgrade"}, {"sec-websocket-key", ""}});
    ASSERT_EQ(empty.kind(), HttpResponse::Case::switchProtocols);
    EXPECT_EQ(empty.headers()->at("Sec-WebSocket-Accept"), "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w=");
}

} // namespace
} // namespace quintarvel
