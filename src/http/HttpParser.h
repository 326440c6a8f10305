#pragma once

#include "http/HttpParserError.h"
#include "http/HttpRequest.h"
#include "http/Socket.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quintarvel {

// Reads one HTTP/1.1 request from a client socket: the request line, header lines up to the
// first empty line, and a body of exactly "content-length" bytes. It does not look at the
// protocol version and decodes no transfer coding: a body sent without "content-length" is not
// read (its bytes become the next request line on a kept-alive connection). Stateless: one
// parser serves any number of connections in parallel.
//
// Request line: split at every single blank, empty tokens kept ("GET  /" has an empty target);
// fewer than three tokens is invalidStatusLine; tokens after the third are ignored. The target
// is percent-encoded with the URL-query set and parsed as an RFC 3986 reference, so path and
// query keep the client's escapes undecoded: "/a%20b?x=%41&y" gives path "/a%20b" and the pairs
// (x, %41), (y, ""); "#" starts no fragment and "+" stays a plus. An absolute target gives
// just its path. A target that is no URI reference ("1:x") gives an empty path and no query.
// Empty query items ("a&&b") are skipped.
//
// Header lines: the name runs from the first character that is not ":" to the next ":", lower-
// cased, not trimmed ("Host : x" gives "host "); the value is the rest of the line, trimmed,
// further colons kept. A name followed by ":" and nothing gives an empty value; a line with no
// ":" after its name is ignored. A later line of the same name replaces the earlier one.
//
// Limits, each ending the read without taking in the rest: a line of more than maxLineLength
// bytes, more than maxHeaderLines header lines, a "content-length" above maxContentLength.
//
// readRequest reads head and body in one go. The server reads them in two steps
// (readRequestHead, then readRequestBody), so that it can refuse a body before reading it.
class HttpParser {
  public:
    static constexpr std::size_t maxLineLength = 64 * 1024;
    static constexpr std::size_t maxHeaderLines = 200;
    // Large enough for big FITS uploads, which are read into memory whole.
    static constexpr std::int64_t maxContentLength = std::int64_t{4} << 30;

    HttpParser() = default;
    virtual ~HttpParser() = default;

    // The request line and header lines of one request; its body is still to be read.
    struct Head {
        // path, queryParams, method and headers set; body empty.
        std::shared_ptr<HttpRequest> request;
        // The third token of the request line, as sent ("HTTP/1.1").
        std::string version;
        // The body's length by "content-length": 0 without the header or without a number.
        std::int64_t contentLength = 0;
    };

    // A new request with path, queryParams, method, headers and body set. Throws
    // HttpParserError, or passes on the SocketError of a failed read (recvFailed when the
    // stream ends first).
    virtual std::shared_ptr<HttpRequest> readRequest(Socket &socket) const;
    // The head only. Throws invalidStatusLine, negativeContentLength, lineTooLong,
    // tooManyHeaderLines, or passes on the SocketError of a failed read.
    virtual Head readRequestHead(Socket &socket) const;
    // Reads the head's contentLength bytes into its request's body. Throws
    // contentLengthTooLarge, or passes on the SocketError of a failed read.
    virtual void readRequestBody(Socket &socket, Head &head) const;

  private:
    HttpRequest::HeaderMap readHeaderLines(Socket &socket) const;
};

} // namespace quintarvel
