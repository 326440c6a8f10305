#pragma once

#include "http/HttpHandler.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/WebSocketSession.h"

namespace quintarvel {

// The opening handshake of a WebSocket connection, as a route handler:
//
//     server->GET["/events"] = makeWebSocketHandler({
//         .text = [](const auto &session, const std::string &text) { session->sendText(text); },
//         .disconnected = [](const auto &) { ... },
//     });
//
// The handler answers 101 with the session run (runWebSocketSession) as the protocol-switch
// session; the server writes the answer and then runs the session on the client's serving task,
// where every callback is called.

// A handler with the text, binary and pong callbacks; connected and disconnected are absent.
HttpHandler makeWebSocketHandler(WebSocketSession::TextCallback text,
                                 WebSocketSession::BytesCallback binary,
                                 WebSocketSession::BytesCallback pong);
// A handler with any of the five callbacks.
HttpHandler makeWebSocketHandler(WebSocketSession::Callbacks callbacks);

// The handshake. Header names are lower-case; tokens are compared trimmed and lower-cased.
// - 400 with the text "Invalid value of 'Upgrade' header: " and the header's value (or
//   "unknown") unless "upgrade" holds the token "websocket";
// - the same for "Connection" unless "connection" holds "upgrade";
// - "Invalid value of 'Sec-Websocket-Key' header: unknown" when "sec-websocket-key" is missing
//   (its value is not examined further, nor are version, origin or subprotocol headers);
// - otherwise 101 with "Upgrade: WebSocket", "Connection: Upgrade" and "Sec-WebSocket-Accept":
//   the Base64 SHA-1 of the key followed by "258EAFA5-E914-47DA-95CA-C5AB0DC85B11".
HttpResponse upgradeToWebSocket(const HttpRequest &request, WebSocketSession::Callbacks callbacks);

} // namespace quintarvel
