#include "http/WebSocketHandler.h"

#include "http/ByteHelpers.h"
#include "http/SHA1.h"

#include <utility>

namespace quintarvel {

namespace {

constexpr std::string_view acceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

HttpResponse invalidHeader(const HttpRequest &request, const std::string &name,
                           const std::string &shownName) {
    const auto found = request.headers.find(name);
    const std::string value = found == request.headers.end() ? "unknown" : found->second;
    return HttpResponse::badRequest(
        HttpResponseBody::text("Invalid value of '" + shownName + "' header: " + value));
}

} // namespace

HttpHandler makeWebSocketHandler(WebSocketSession::TextCallback text,
                                 WebSocketSession::BytesCallback binary,
                                 WebSocketSession::BytesCallback pong) {
    return makeWebSocketHandler(WebSocketSession::Callbacks{
        .text = std::move(text), .binary = std::move(binary), .pong = std::move(pong)});
}

HttpHandler makeWebSocketHandler(WebSocketSession::Callbacks callbacks) {
    return [callbacks = std::move(callbacks)](std::shared_ptr<HttpRequest> request) {
        return upgradeToWebSocket(*request, callbacks);
    };
}

HttpResponse upgradeToWebSocket(const HttpRequest &request, WebSocketSession::Callbacks callbacks) {
    if (!request.headerContainsToken("upgrade", "websocket"))
        return invalidHeader(request, "upgrade", "Upgrade");
    if (!request.headerContainsToken("connection", "upgrade"))
        return invalidHeader(request, "connection", "Connection");
    const auto key = request.headers.find("sec-websocket-key");
    if (key == request.headers.end())
        return invalidHeader(request, "sec-websocket-key", "Sec-Websocket-Key");

    const SHA1::Digest digest = sha1Digest(key->second + std::string(acceptGuid));
    HttpResponse::HeaderMap headers{
        {"Upgrade", "WebSocket"},
        {"Connection", "Upgrade"},
        {"Sec-WebSocket-Accept", base64Text(digest)},
    };
    return HttpResponse::switchProtocols(
        std::move(headers), [callbacks = std::move(callbacks)](std::shared_ptr<Socket> socket) {
            runWebSocketSession(socket, callbacks);
        });
}

} // namespace quintarvel
