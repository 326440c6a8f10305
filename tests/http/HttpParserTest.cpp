#include "http/HttpParser.h"

#include "support/SocketPair.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using quintarvel::HttpParser;
using quintarvel::HttpParserError;
using quintarvel::HttpRequest;
using quintarvel::Socket;
using quintarvel::SocketError;
using quintarvel::test::SocketPair;
using Pairs = HttpRequest::QueryParams;

namespace {

// Feeds raw wire bytes to a parser over a socket pair; the stream ends after them unless kept
// open.
class Wire {
  public:
    explicit Wire(const std::string &bytes, bool keepOpen = false) : socket_(pair_.takeServer()) {
        pair_.send(bytes);
        if (!keepOpen)
            pair_.shutdownClientWrite();
    }
    std::shared_ptr<HttpRequest> read() { return HttpParser().readRequest(socket_); }
    Socket &socket() { return socket_; }

    // What the next read raises: the error's text, or "none".
    std::string failure() {
        try {
            read();
        } catch (const std::exception &error) {
            return error.what();
        }
        return "none";
    }

  private:
    SocketPair pair_;
    Socket socket_;
};

std::shared_ptr<HttpRequest> parse(const std::string &bytes) {
    return Wire(bytes).read();
}

std::shared_ptr<HttpRequest> parseTarget(const std::string &target) {
    return parse("GET " + target + " HTTP/1.1\r\n\r\n");
}

std::string bodyOf(const std::string &bytes) {
    const auto request = parse(bytes);
    return std::string(request->body.begin(), request->body.end());
}

// Peak resident memory of the process so far, in KiB.
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value;
    while (status >> key)
        if (key == "VmHWM:" && status >> value)
            return value;
    return 0;
}

} // namespace

TEST(HttpParser, RequestLineGivesMethodPathAndQuery) {
    const auto request = parse("get /a%20b?x=%41&y&x=2 HTTP/9.9 extra\r\n\r\n");
    EXPECT_EQ(request->method, "get");
    EXPECT_EQ(request->path, "/a%20b");
    EXPECT_EQ(request->queryParams, (Pairs{{"x", "%41"}, {"y", ""}, {"x", "2"}}));
    EXPECT_TRUE(request->headers.empty());
    EXPECT_EQ(request->address, std::optional<std::string>(""));
    // Two blanks give an empty target.
    EXPECT_EQ(parse("GET  /x HTTP/1.1\r\n\r\n")->path, "");
    // Fewer than three tokens; a tab separates nothing.
    EXPECT_EQ(Wire("GET\t/\tHTTP/1.1\r\n\r\n").failure(), "invalidStatusLine(\"GET/HTTP/1.1\")");
    EXPECT_EQ(Wire("GET /\r\n\r\n").failure(), "invalidStatusLine(\"GET /\")");
    EXPECT_EQ(Wire("\r\n\r\n").failure(), "invalidStatusLine(\"\")");
}

TEST(HttpParser, TargetsKeepTheClientsTextUndecoded) {
    EXPECT_EQ(parseTarget("/docs/a#b")->path, "/docs/a#b");
    EXPECT_EQ(parseTarget("/q?v=1+2")->queryParams, (Pairs{{"v", "1+2"}}));
    EXPECT_EQ(parseTarget("/q?v=a#b")->queryParams, (Pairs{{"v", "a#b"}}));
    EXPECT_EQ(parseTarget("/%zz/%/\"<>[]{}|\\^`")->path, "/%zz/%/\"<>[]{}|\\^`");
    EXPECT_EQ(parseTarget("/q?a=b=c&=v&&k=")->queryParams,
              (Pairs{{"a", "b=c"}, {"", "v"}, {"k", ""}}));
    EXPECT_TRUE(parseTarget("/q?")->queryParams.empty());
    EXPECT_EQ(parseTarget("/caf\xE9")->path, "/caf\u00E9"); // Latin-1 bytes of the line
    // Absolute and authority forms give just their path.
    EXPECT_EQ(parseTarget("http://example.org:8080/p/q?a=1")->path, "/p/q");
    EXPECT_EQ(parseTarget("http://example.org:8080/p/q?a=1")->queryParams, (Pairs{{"a", "1"}}));
    EXPECT_EQ(parseTarget("//user@host:1/p")->path, "/p");
    EXPECT_EQ(parseTarget("*")->path, "*");
    EXPECT_EQ(parseTarget("mailto:someone")->path, "someone");
    // No URI reference at all: empty path and query.
    for (const std::string target : {"1a:b?x=1", "//host:port/p?x=1", "//a@b@c/p?x=1"}) {
        EXPECT_EQ(parseTarget(target)->path, "") << target;
        EXPECT_TRUE(parseTarget(target)->queryParams.empty()) << target;
    }
}

TEST(HttpParser, HeaderLinesFollowTheColonRulesAndTokensAreFound) {
    const auto request = parse("GET / HTTP/1.1\r\n"
                               "Content-Type:  text/plain \t\r\n"
                               "X-Time: 12:30:00\r\n"
                               "Host : x\r\n"
                               "Accept: a\r\n"
                               "ACCEPT: b\r\n"
                               "::Leading: colons\r\n"
                               "X-Empty:\r\n"
                               "NoColonHere\r\n"
                               ":::\r\n"
                               "\u00C4rger: \xC4\r\n"
                               "Connection: keep-alive,,Upgrade ,\r\n"
                               "\r\n");
    // "Ä" sent as UTF-8 arrives as the two Latin-1 characters U+00C3 U+0084; the first is
    // lower-cased on its own.
    const HttpRequest::HeaderMap expected{{"content-type", "text/plain"},
                                          {"x-time", "12:30:00"},
                                          {"host ", "x"},
                                          {"accept", "b"},
                                          {"leading", "colons"},
                                          {"x-empty", ""},
                                          {"\u00E3\u0084rger", "\u00C4"},
                                          {"connection", "keep-alive,,Upgrade ,"}};
    EXPECT_EQ(request->headers, expected);
    EXPECT_TRUE(request->headerContainsToken("connection", "upgrade"));
    EXPECT_TRUE(request->headerContainsToken("connection", "keep-alive"));
    EXPECT_TRUE(request->headerContainsToken("connection", ""));
    EXPECT_FALSE(request->headerContainsToken("connection", "keep"));
    EXPECT_FALSE(request->headerContainsToken("connection", "Upgrade"));
    EXPECT_FALSE(request->headerContainsToken("Connection", "upgrade"));
    EXPECT_FALSE(request->headerContainsToken("missing", "upgrade"));
    // Trimming takes Unicode space separators, too.
    HttpRequest handMade;
    handMade.headers["upgrade"] = "\tWebSocket\u00A0";
    EXPECT_TRUE(handMade.headerContainsToken("upgrade", "websocket"));
}

TEST(HttpParser, ContentLengthGrammar) {
    EXPECT_EQ(bodyOf("PUT / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhelloNEXT"), "hello");
    EXPECT_EQ(bodyOf("PUT / HTTP/1.1\r\ncontent-length: +3\r\n\r\nabcdef"), "abc");
    EXPECT_EQ(bodyOf("PUT / HTTP/1.1\r\ncontent-length: 007\r\n\r\n1234567"), "1234567");
    // No number: no body.
    for (const std::string value : {"abc", "", "+", "1 2", "0x10", "99999999999999999999"}) {
        Wire wire("PUT / HTTP/1.1\r\ncontent-length: " + value + "\r\n\r\nbody", true);
        EXPECT_TRUE(wire.read()->body.empty()) << value;
    }
    for (const std::string value : {"-1", "-9223372036854775808"})
        EXPECT_TRUE(Wire("PUT / HTTP/1.1\r\ncontent-length: " + value + "\r\n\r\n")
                        .failure()
                        .starts_with("negativeContentLength"))
            << value;
}

TEST(HttpParser, StreamEndingEarlyIsTheSocketsError) {
    for (const std::string bytes : {"", "GET / HTTP/1.1", "GET / HTTP/1.1\r\nHost: x\r\n",
                                    "PUT / HTTP/1.1\r\ncontent-length: 10\r\n\r\nshort"}) {
        EXPECT_TRUE(Wire(bytes).failure().starts_with("recvFailed")) << bytes;
    }
}

TEST(HttpParser, KeptAliveRequestsShareNothingAndUnannouncedBodiesAreRequests) {
    Wire wire("PUT /a?x=1 HTTP/1.1\r\nContent-Length: 2\r\nX-A: 1\r\n\r\nab"
              "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
              "GET /b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(wire.read()->body.size(), 2u);
    EXPECT_TRUE(wire.read()->body.empty());
    const auto last = wire.read();
    EXPECT_EQ(last->path, "/b");
    EXPECT_TRUE(last->headers.empty());
    EXPECT_TRUE(last->queryParams.empty());
}

TEST(HttpParser, OverlongLinesAndTooManyHeadersEndTheReadWithoutTakingTheRest) {
    Wire longRequestLine(std::string(HttpParser::maxLineLength + 1, 'a') + "REST", true);
    EXPECT_TRUE(longRequestLine.failure().starts_with("lineTooLong"));
    EXPECT_EQ(longRequestLine.socket().readBytes(4),
              (std::vector<std::uint8_t>{'R', 'E', 'S', 'T'}));
    Wire longHeader("GET / HTTP/1.1\r\nX: " + std::string(HttpParser::maxLineLength, 'b'), true);
    EXPECT_TRUE(longHeader.failure().starts_with("lineTooLong"));
    // A line of exactly the limit is still read.
    const std::string target = "/" + std::string(HttpParser::maxLineLength - 14, 'c');
    EXPECT_EQ(parse("GET " + target + " HTTP/1.1\n\n")->path, target);

    std::string head = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i < HttpParser::maxHeaderLines; ++i)
        head += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(parse(head + "\r\n")->headers.size(), HttpParser::maxHeaderLines);
    Wire tooMany(head + "X-Last: v\r\n", true);
    EXPECT_TRUE(tooMany.failure().starts_with("tooManyHeaderLines"));
}

TEST(HttpParser, ContentLengthAboveTheMaximumEndsTheReadAtOnce) {
    const long before = peakResidentKiB();
    const auto put = [](std::int64_t length) {
        return "PUT / HTTP/1.1\r\ncontent-length: " + std::to_string(length) + "\r\n\r\n0123456789";
    };
    Wire tooLarge(put(HttpParser::maxContentLength + 1), true);
    EXPECT_TRUE(tooLarge.failure().starts_with("contentLengthTooLarge"));
    // At the maximum the body is read, with storage that follows the bytes that came.
    Wire atMaximum(put(HttpParser::maxContentLength));
    EXPECT_THROW(atMaximum.read(), SocketError);
    EXPECT_LT(peakResidentKiB() - before, 64 * 1024);
}
