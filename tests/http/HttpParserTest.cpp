#include "http/HttpParser.h"

#include "support/SocketPair.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
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
        if (!keepOpen) {
            pair_.shutdownClientWrite();
        }
    }
    std::shared_ptr<HttpRequest> read() { return HttpParser().readRequest(socket_); }
    Socket &socket() { return socket_; }
    SocketPair &pair() { return pair_; }

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

HttpParserError::Case parserErrorOf(Wire &wire) {
    try {
        wire.read();
    } catch (const HttpParserError &error) {
        return error.kind();
    }
    ADD_FAILURE() << "no HttpParserError";
    return HttpParserError::Case::invalidStatusLine;
}

std::string bodyText(const HttpRequest &request) {
    return std::string(request.body.begin(), request.body.end());
}

// Peak resident memory of the process so far, in KiB.
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        long value;
        if (key == "VmHWM:" && status >> value) {
            return value;
        }
    }
    return 0;
}

} // namespace

TEST(HttpParser, RequestLineGivesMethodPathAndQueryInOrder) {
    const auto request = parse("GET /a%20b?x=%41&y&x=2 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->path, "/a%20b");
    EXPECT_EQ(request->queryParams, (Pairs{{"x", "%41"}, {"y", ""}, {"x", "2"}}));
    EXPECT_TRUE(request->headers.empty());
    EXPECT_TRUE(request->body.empty());
    EXPECT_EQ(request->address, std::optional<std::string>(""));
    EXPECT_TRUE(request->params.empty());
}

TEST(HttpParser, MethodKeepsItsCaseAndExtraTokensAreIgnored) {
    EXPECT_EQ(parse("get / HTTP/1.1\r\n\r\n")->method, "get");
    const auto request = parse("GET /x HTTP/9.9 extra\r\n\r\n");
    EXPECT_EQ(request->path, "/x");
}

TEST(HttpParser, FewerThanThreeTokensIsInvalidStatusLine) {
    for (const std::string line : {"GET /", ""}) {
        Wire wire(line + "\r\n\r\n");
        try {
            wire.read();
            FAIL() << "accepted " << line;
        } catch (const HttpParserError &error) {
            EXPECT_EQ(error.kind(), HttpParserError::Case::invalidStatusLine);
            EXPECT_EQ(error.line(), line);
            EXPECT_EQ(std::string(error.what()), "invalidStatusLine(\"" + line + "\")");
        }
    }
    // A tab separates nothing.
    Wire tabs("GET\t/\tHTTP/1.1\r\n\r\n");
    EXPECT_EQ(parserErrorOf(tabs), HttpParserError::Case::invalidStatusLine);
}

TEST(HttpParser, TwoBlanksGiveAnEmptyTarget) {
    const auto request = parse("GET  /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->path, "");
    EXPECT_TRUE(request->queryParams.empty());
}

TEST(HttpParser, TargetKeepsTheClientsTextUndecoded) {
    EXPECT_EQ(parseTarget("/docs/a#b")->path, "/docs/a#b");
    EXPECT_EQ(parseTarget("/q?v=1+2")->queryParams, (Pairs{{"v", "1+2"}}));
    EXPECT_EQ(parseTarget("/q?v=a#b")->queryParams, (Pairs{{"v", "a#b"}}));
    EXPECT_EQ(parseTarget("/%zz/%/\"<>[]{}|\\^`")->path, "/%zz/%/\"<>[]{}|\\^`");
    EXPECT_EQ(parseTarget("/q?a=b=c&=v&&k=")->queryParams,
              (Pairs{{"a", "b=c"}, {"", "v"}, {"k", ""}}));
    EXPECT_TRUE(parseTarget("/q?")->queryParams.empty());
    // Latin-1 bytes of the line come back as their characters.
    EXPECT_EQ(parseTarget("/caf\xE9")->path, "/caf\u00E9");
}

TEST(HttpParser, AbsoluteAndAuthorityTargetsGiveJustTheirPath) {
    EXPECT_EQ(parseTarget("http://example.org:8080/p/q?a=1")->path, "/p/q");
    EXPECT_EQ(parseTarget("http://example.org:8080/p/q?a=1")->queryParams, (Pairs{{"a", "1"}}));
    EXPECT_EQ(parseTarget("//host/path")->path, "/path");
    EXPECT_EQ(parseTarget("//user@host:1/p")->path, "/p");
    EXPECT_EQ(parseTarget("*")->path, "*");
    EXPECT_EQ(parseTarget("mailto:someone")->path, "someone");
}

TEST(HttpParser, TargetThatIsNoUriReferenceGivesEmptyPathAndQuery) {
    for (const std::string target : {"1a:b?x=1", "//host:port/p?x=1", "//a@b@c/p?x=1"}) {
        const auto request = parseTarget(target);
        EXPECT_EQ(request->path, "") << target;
        EXPECT_TRUE(request->queryParams.empty()) << target;
    }
}

TEST(HttpParser, HeaderLinesFollowTheColonRules) {
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
                               "\r\n");
    // "Ä" sent as UTF-8 arrives as the two Latin-1 characters U+00C3 U+0084; the first is
    // lower-cased on its own.
    const HttpRequest::HeaderMap expected{
        {"content-type", "text/plain"},
        {"x-time", "12:30:00"},
        {"host ", "x"},
        {"accept", "b"},
        {"leading", "colons"},
        {"x-empty", ""},
        {"\u00E3\u0084rger", "\u00C4"},
    };
    EXPECT_EQ(request->headers, expected);
}

TEST(HttpParser, ContentLengthReadsExactlyThatBody) {
    EXPECT_EQ(bodyText(*parse("PUT / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhelloNEXT")), "hello");
    EXPECT_EQ(bodyText(*parse("PUT / HTTP/1.1\r\ncontent-length: +3\r\n\r\nabcdef")), "abc");
    EXPECT_EQ(bodyText(*parse("PUT / HTTP/1.1\r\ncontent-length: 007\r\n\r\n1234567")), "1234567");
    EXPECT_TRUE(parse("PUT / HTTP/1.1\r\ncontent-length: 0\r\n\r\n")->body.empty());
}

TEST(HttpParser, ContentLengthThatIsNoNumberLeavesTheBodyEmpty) {
    for (const std::string value : {"abc", "", "+", "1 2", "0x10", "99999999999999999999"}) {
        Wire wire("PUT / HTTP/1.1\r\ncontent-length: " + value + "\r\n\r\nbody", true);
        EXPECT_TRUE(wire.read()->body.empty()) << value;
    }
}

TEST(HttpParser, NegativeContentLengthThrows) {
    for (const std::string value : {"-1", "-9223372036854775808"}) {
        Wire wire("PUT / HTTP/1.1\r\ncontent-length: " + value + "\r\n\r\n");
        EXPECT_EQ(parserErrorOf(wire), HttpParserError::Case::negativeContentLength);
    }
}

TEST(HttpParser, StreamEndingEarlyIsTheSocketsError) {
    for (const std::string bytes : {"", "GET / HTTP/1.1", "GET / HTTP/1.1\r\nHost: x\r\n",
                                    "PUT / HTTP/1.1\r\ncontent-length: 10\r\n\r\nshort"}) {
        Wire wire(bytes);
        try {
            wire.read();
            FAIL() << "accepted " << bytes;
        } catch (const SocketError &error) {
            EXPECT_EQ(error.kind(), SocketError::Case::recvFailed);
        }
    }
}

TEST(HttpParser, BodyWithoutContentLengthBecomesTheNextRequestLine) {
    Wire wire("POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
              "GET /b HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(wire.read()->body.empty());
    EXPECT_EQ(wire.read()->path, "/b");
}

TEST(HttpParser, KeptAliveRequestsShareNothing) {
    Wire wire("PUT /a?x=1 HTTP/1.1\r\nContent-Length: 2\r\nX-A: 1\r\n\r\nab"
              "GET /b HTTP/1.1\r\n\r\n");
    const auto first = wire.read();
    const auto second = wire.read();
    EXPECT_EQ(bodyText(*first), "ab");
    EXPECT_EQ(second->path, "/b");
    EXPECT_TRUE(second->headers.empty());
    EXPECT_TRUE(second->queryParams.empty());
    EXPECT_TRUE(second->body.empty());
}

TEST(HttpParser, OverlongLineEndsTheReadWithoutTakingTheRest) {
    const std::string rest = "REST";
    {
        Wire wire(std::string(HttpParser::maxLineLength + 1, 'a') + rest, true);
        EXPECT_EQ(parserErrorOf(wire), HttpParserError::Case::lineTooLong);
        EXPECT_EQ(wire.socket().readBytes(4), std::vector<std::uint8_t>(rest.begin(), rest.end()));
    }
    {
        Wire wire("GET / HTTP/1.1\r\nX: " + std::string(HttpParser::maxLineLength, 'b') + rest,
                  true);
        EXPECT_EQ(parserErrorOf(wire), HttpParserError::Case::lineTooLong);
    }
    // A line of exactly the limit is still read.
    const std::string target = "/" + std::string(HttpParser::maxLineLength - 14, 'c');
    EXPECT_EQ(parse("GET " + target + " HTTP/1.1\n\n")->path, target);
}

TEST(HttpParser, TooManyHeaderLinesEndTheRead) {
    std::string head = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i < HttpParser::maxHeaderLines; ++i) {
        head += "X-" + std::to_string(i) + ": v\r\n";
    }
    EXPECT_EQ(parse(head + "\r\n")->headers.size(), HttpParser::maxHeaderLines);
    Wire wire(head + "X-Last: v\r\n", true);
    EXPECT_EQ(parserErrorOf(wire), HttpParserError::Case::tooManyHeaderLines);
}

TEST(HttpParser, ContentLengthAboveTheMaximumEndsTheReadAtOnce) {
    const long before = peakResidentKiB();
    Wire tooLarge("PUT / HTTP/1.1\r\ncontent-length: " +
                      std::to_string(HttpParser::maxContentLength + 1) + "\r\n\r\n0123456789",
                  true);
    EXPECT_EQ(parserErrorOf(tooLarge), HttpParserError::Case::contentLengthTooLarge);
    // At the maximum the body is read, with storage that follows the bytes that came.
    Wire atMaximum("PUT / HTTP/1.1\r\ncontent-length: " +
                   std::to_string(HttpParser::maxContentLength) + "\r\n\r\n0123456789");
    EXPECT_THROW(atMaximum.read(), SocketError);
    EXPECT_LT(peakResidentKiB() - before, 64 * 1024);
}

TEST(HttpParser, HeaderTokensAreFoundInTheParsedRequest) {
    const auto request = parse("GET /chat HTTP/1.1\r\nConnection: keep-alive, Upgrade\r\n\r\n");
    EXPECT_TRUE(request->headerContainsToken("connection", "upgrade"));
    EXPECT_TRUE(request->headerContainsToken("connection", "keep-alive"));
    EXPECT_FALSE(request->headerContainsToken("connection", "Upgrade"));
    EXPECT_FALSE(request->headerContainsToken("Connection", "upgrade"));
}
