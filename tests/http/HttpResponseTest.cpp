#include "http/HttpResponse.h"

#include "http/SerializationError.h"
#include "support/RecordingBodyWriter.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

using quintarvel::HttpResponse;
using quintarvel::HttpResponseBody;
using quintarvel::HttpResponseBodyWriter;
using quintarvel::serverVersion;
using quintarvel::test::RecordingBodyWriter;
using Headers = HttpResponse::HeaderMap;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string server = "Quintarvel " + serverVersion();
const Headers serverOnly{{"Server", server}};

// The announced length and the bytes the writer sends.
std::pair<std::int64_t, std::string> produced(const HttpResponse &response) {
    return {response.lengthAndWriter().first, quintarvel::test::writtenBody(response).all()};
}

std::pair<std::int64_t, std::string> produced(const HttpResponseBody &body) {
    return produced(HttpResponse::ok(body));
}

} // namespace

TEST(HttpResponse, StatusCodesPhrasesAndCasesWithoutPayload) {
    const std::vector<std::tuple<HttpResponse, int, std::string>> cases = {
        {HttpResponse::switchProtocols({}, nullptr), 101, "Switching Protocols"},
        {HttpResponse::ok(HttpResponseBody::text("")), 200, "OK"},
        {HttpResponse::movedPermanently("/a"), 301, "Moved Permanently"},
        {HttpResponse::movedTemporarily("/a"), 307, "Moved Temporarily"},
        {HttpResponse::badRequest(), 400, "Bad Request"},
        {HttpResponse::raw(299, "Fine"), 299, "Fine"},
        {HttpResponse::created(), 201, "Created"},
        {HttpResponse::accepted(), 202, "Accepted"},
        {HttpResponse::unauthorized(), 401, "Unauthorized"},
        {HttpResponse::forbidden(), 403, "Forbidden"},
        {HttpResponse::notFound(), 404, "Not Found"},
        {HttpResponse::notAcceptable(), 406, "Not Acceptable"},
        {HttpResponse::tooManyRequests(), 429, "Too Many Requests"},
        {HttpResponse::internalServerError(), 500, "Internal Server Error"},
    };
    for (const auto &[response, code, phrase] : cases) {
        EXPECT_EQ(response.statusCode(), code);
        EXPECT_EQ(response.reasonPhrase(), phrase);
        if (code == 201 || code == 202 || code >= 400) {
            EXPECT_EQ(response.headerFields(), serverOnly) << code;
            EXPECT_EQ(response.lengthAndWriter().first, -1) << code;
            EXPECT_FALSE(response.lengthAndWriter().second) << code;
        }
    }
}

TEST(HttpResponse, JsonBodyIsCompactOrTheSerialisationErrorText) {
    const HttpResponse json = HttpResponse::ok(HttpResponseBody::json({{"a", 1}}));
    EXPECT_EQ(produced(json), std::make_pair(std::int64_t{7}, std::string("{\"a\":1}")));
    EXPECT_EQ(json.headerFields(),
              (Headers{{"Server", server}, {"Content-Type", "application/json"}}));

    const HttpResponse bare = HttpResponse::ok(HttpResponseBody::json("text"));
    EXPECT_EQ(produced(bare),
              std::make_pair(std::int64_t{34}, std::string("Serialisation error: invalidObject")));
    EXPECT_EQ(bare.statusCode(), 200);
    EXPECT_EQ(bare.headerFields().at("Content-Type"), "application/json");
    for (const nlohmann::json &refused :
         {nlohmann::json(1), nlohmann::json(nullptr),
          nlohmann::json{{"x", std::numeric_limits<double>::quiet_NaN()}},
          nlohmann::json::array({std::numeric_limits<double>::infinity()}),
          nlohmann::json{{"b", nlohmann::json::binary({1, 2})}}})
        EXPECT_EQ(produced(HttpResponseBody::json(refused)).second,
                  "Serialisation error: invalidObject")
            << refused.type_name();
    // The serialiser's own refusal (text that is not UTF-8) is reported with its description.
    const auto [length, text] = produced(HttpResponseBody::json({{"k", "\xFF"}}));
    EXPECT_TRUE(text.starts_with("Serialisation error: ") && text.size() > 21u) << text;
    EXPECT_EQ(length, static_cast<std::int64_t>(text.size()));
    EXPECT_EQ(produced(HttpResponseBody::json(nlohmann::json::array())).second, "[]");
}

TEST(HttpResponse, TextHtmlAndDataBodiesWithTheirLengthsAndTypes) {
    const HttpResponse wrapped = HttpResponse::ok(HttpResponseBody::htmlBody("x"));
    EXPECT_EQ(produced(wrapped),
              std::make_pair(std::int64_t{49},
                             std::string("<html><meta charset=\"UTF-8\"><body>x</body></html>")));
    EXPECT_EQ(wrapped.headerFields(), serverOnly);
    const HttpResponse html = HttpResponse::ok(HttpResponseBody::html("x"));
    EXPECT_EQ(produced(html), std::make_pair(std::int64_t{1}, std::string("x")));
    EXPECT_EQ(html.headerFields(), (Headers{{"Server", server}, {"Content-Type", "text/html"}}));
    const HttpResponse empty = HttpResponse::ok(HttpResponseBody::text(""));
    EXPECT_EQ(produced(empty), std::make_pair(std::int64_t{0}, std::string()));
    EXPECT_EQ(empty.headerFields(), serverOnly);
    EXPECT_EQ(produced(HttpResponseBody::text("\u00E9\u20AC")).first, 5); // UTF-8 bytes

    const auto bytes = std::make_shared<const Bytes>(Bytes{1, 2, 3});
    const HttpResponse typed = HttpResponse::ok(HttpResponseBody::data(bytes, "image/png"));
    EXPECT_EQ(typed.headerFields(), (Headers{{"Server", server}, {"Content-Type", "image/png"}}));
    EXPECT_EQ(produced(typed), std::make_pair(std::int64_t{3}, std::string("\x01\x02\x03")));
    const HttpResponse untyped = HttpResponse::ok(HttpResponseBody::data(Bytes{}));
    EXPECT_EQ(untyped.headerFields(), serverOnly);
    EXPECT_EQ(untyped.lengthAndWriter().first, 0);

    // A bad request's body has a length but no content type.
    const HttpResponse badRequest = HttpResponse::badRequest(HttpResponseBody::json({{"a", 1}}));
    EXPECT_EQ(badRequest.lengthAndWriter().first, 7);
    EXPECT_EQ(badRequest.headerFields(), serverOnly);
}

TEST(HttpResponse, WritersRepeatTheirBytesAndPassSinkErrorsOut) {
    const auto writer = HttpResponseBody::text("ab").lengthAndWriter().second;
    RecordingBodyWriter sink;
    writer(sink);
    writer(sink);
    EXPECT_EQ(sink.all(), "abab");
    sink.failing = true;
    EXPECT_THROW(writer(sink), std::runtime_error);
}

TEST(HttpResponse, CustomBodyConvertsOrReportsTheError) {
    const auto body =
        HttpResponseBody::custom<int>(42, [](const int &n) { return "n=" + std::to_string(n); });
    EXPECT_EQ(produced(body).second, "n=42");
    const HttpResponse failing = HttpResponse::ok(HttpResponseBody::custom<int>(
        1, [](const int &) -> std::string { throw std::runtime_error("cannot convert"); }));
    EXPECT_EQ(produced(failing),
              std::make_pair(std::int64_t{35}, std::string("Serialisation error: cannot convert")));
    EXPECT_EQ(failing.statusCode(), 200);
    EXPECT_EQ(failing.headerFields(), serverOnly);
}

TEST(HttpResponse, HeaderMapsOfRedirectsRawAndSwitchProtocols) {
    const HttpResponse moved = HttpResponse::movedTemporarily("/next");
    EXPECT_EQ(moved.headerFields(), (Headers{{"Server", server}, {"Location", "/next"}}));
    EXPECT_EQ(moved.lengthAndWriter().first, -1);
    EXPECT_FALSE(moved.lengthAndWriter().second);
    EXPECT_EQ(HttpResponse::movedPermanently("/p").headerFields().at("Location"), "/p");

    bool wrote = false;
    const HttpResponse raw =
        HttpResponse::raw(299, "Whatever", Headers{{"Server", "Mine"}, {"Content-Type", "a/b"}},
                          [&](HttpResponseBodyWriter &) { wrote = true; });
    EXPECT_EQ(raw.headerFields(), (Headers{{"Server", "Mine"}, {"Content-Type", "a/b"}}));
    EXPECT_EQ(raw.lengthAndWriter().first, -1);
    quintarvel::test::writtenBody(raw);
    EXPECT_TRUE(wrote);
    EXPECT_EQ(HttpResponse::raw(204, "No Content").headerFields(), serverOnly);
    // Names are compared exactly: "server" is a second entry.
    EXPECT_EQ(HttpResponse::raw(200, "OK", Headers{{"server", "x"}}).headerFields().size(), 2u);

    bool tookOver = false;
    const HttpResponse upgrade = HttpResponse::switchProtocols(
        {{"Server", "WS"}, {"Upgrade", "websocket"}}, [&](auto) { tookOver = true; });
    EXPECT_EQ(upgrade.headerFields(), (Headers{{"Server", "WS"}, {"Upgrade", "websocket"}}));
    EXPECT_EQ(upgrade.lengthAndWriter().first, -1);
    EXPECT_FALSE(upgrade.lengthAndWriter().second);
    upgrade.session()(nullptr);
    EXPECT_TRUE(tookOver);
}
