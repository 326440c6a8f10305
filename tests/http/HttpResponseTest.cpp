#include "http/HttpResponse.h"

#include "http/SerializationError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

using quintarvel::File;
using quintarvel::HttpBodyWriter;
using quintarvel::HttpResponse;
using quintarvel::HttpResponseBody;
using quintarvel::HttpResponseBodyWriter;
using quintarvel::serverVersion;
using Headers = HttpResponse::HeaderMap;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Records which requirement a body writer used and what it handed over.
class RecordingSink : public HttpResponseBodyWriter {
  public:
    void sendFile(File &) override { calls.push_back("sendFile"); }
    void writeBytes(const Bytes &bytes) override { record("writeBytes", bytes); }
    void writeByteSlice(std::span<const std::uint8_t> bytes) override {
        record("writeByteSlice", Bytes(bytes.begin(), bytes.end()));
    }
    void writeNSData(const void *bytes, std::size_t length) override {
        const auto *start = static_cast<const std::uint8_t *>(bytes);
        record("writeNSData", Bytes(start, start + length));
    }
    void writeDataContents(const Bytes &data) override { record("writeDataContents", data); }

    std::vector<std::string> calls;
    std::string written;

  private:
    void record(const char *call, const Bytes &bytes) {
        calls.push_back(call);
        written.append(bytes.begin(), bytes.end());
    }
};

const std::string server = "Quintarvel " + serverVersion();

// Runs a body writer into a fresh sink.
RecordingSink sent(const HttpBodyWriter &writer) {
    RecordingSink sink;
    writer(sink);
    return sink;
}

} // namespace

TEST(HttpResponse, StatusCodesAndPhrases) {
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
    }
}

TEST(HttpResponse, ServerVersionIsTheBuildsShortVersion) {
    EXPECT_FALSE(serverVersion().empty());
    EXPECT_EQ(&serverVersion(), &serverVersion());
}

TEST(HttpResponse, JsonBodyIsCompactWithItsContentType) {
    const HttpResponse response = HttpResponse::ok(HttpResponseBody::json({{"a", 1}}));
    const auto [length, writer] = response.lengthAndWriter();
    EXPECT_EQ(length, 7);
    const RecordingSink sink = sent(writer);
    EXPECT_EQ(sink.written, "{\"a\":1}");
    EXPECT_EQ(sink.calls, std::vector<std::string>{"writeDataContents"});
    EXPECT_EQ(response.headerFields(),
              (Headers{{"Server", server}, {"Content-Type", "application/json"}}));
}

TEST(HttpResponse, RefusedJsonBecomesTheSerialisationErrorText) {
    const HttpResponse bare = HttpResponse::ok(HttpResponseBody::json("text"));
    const auto [length, writer] = bare.lengthAndWriter();
    EXPECT_EQ(length, 34);
    const RecordingSink sink = sent(writer);
    EXPECT_EQ(sink.written, "Serialisation error: invalidObject");
    EXPECT_EQ(sink.calls, std::vector<std::string>{"writeBytes"});
    EXPECT_EQ(bare.statusCode(), 200);
    EXPECT_EQ(bare.headerFields().at("Content-Type"), "application/json");

    for (const nlohmann::json &refused :
         {nlohmann::json(1), nlohmann::json(nullptr),
          nlohmann::json{{"x", std::numeric_limits<double>::quiet_NaN()}},
          nlohmann::json::array({std::numeric_limits<double>::infinity()}),
          nlohmann::json{{"b", nlohmann::json::binary({1, 2})}}}) {
        EXPECT_EQ(sent(HttpResponseBody::json(refused).lengthAndWriter().second).written,
                  "Serialisation error: invalidObject")
            << refused.type_name();
    }
    // The serialiser's own refusal (text that is not UTF-8) is reported with its description.
    const auto invalidUtf8 = HttpResponseBody::json({{"k", "\xFF"}}).lengthAndWriter();
    const std::string text = sent(invalidUtf8.second).written;
    EXPECT_TRUE(text.starts_with("Serialisation error: ")) << text;
    EXPECT_GT(text.size(), 21u);
    EXPECT_EQ(invalidUtf8.first, static_cast<std::int64_t>(text.size()));
    // Empty containers are valid.
    EXPECT_EQ(
        sent(HttpResponseBody::json(nlohmann::json::array()).lengthAndWriter().second).written,
        "[]");
}

TEST(HttpResponse, BadRequestBodyHasALengthButNoContentType) {
    const HttpResponse withBody = HttpResponse::badRequest(HttpResponseBody::json({{"a", 1}}));
    EXPECT_EQ(withBody.lengthAndWriter().first, 7);
    EXPECT_EQ(withBody.headerFields(), (Headers{{"Server", server}}));
    const auto [length, writer] = HttpResponse::badRequest().lengthAndWriter();
    EXPECT_EQ(length, -1);
    EXPECT_FALSE(writer);
}

TEST(HttpResponse, HtmlBodiesAndText) {
    const HttpResponse wrapped = HttpResponse::ok(HttpResponseBody::htmlBody("x"));
    const auto [length, writer] = wrapped.lengthAndWriter();
    EXPECT_EQ(length, 49);
    EXPECT_EQ(sent(writer).written, "<html><meta charset=\"UTF-8\"><body>x</body></html>");
    EXPECT_EQ(sent(writer).calls, std::vector<std::string>{"writeBytes"});
    EXPECT_EQ(wrapped.headerFields(), (Headers{{"Server", server}}));

    const HttpResponse html = HttpResponse::ok(HttpResponseBody::html("x"));
    EXPECT_EQ(html.lengthAndWriter().first, 1);
    EXPECT_EQ(sent(html.lengthAndWriter().second).written, "x");
    EXPECT_EQ(html.headerFields(), (Headers{{"Server", server}, {"Content-Type", "text/html"}}));

    const HttpResponse empty = HttpResponse::ok(HttpResponseBody::text(""));
    const RecordingSink sink = sent(empty.lengthAndWriter().second);
    EXPECT_EQ(empty.lengthAndWriter().first, 0);
    EXPECT_EQ(sink.calls, std::vector<std::string>{"writeBytes"});
    EXPECT_EQ(empty.headerFields(), (Headers{{"Server", server}}));

    // Lengths count UTF-8 bytes, not characters.
    EXPECT_EQ(HttpResponseBody::text("\u00E9\u20AC").lengthAndWriter().first, 5);
}

TEST(HttpResponse, DataBodyIsSharedWithItsOptionalContentType) {
    const auto bytes = std::make_shared<const Bytes>(Bytes{1, 2, 3});
    const HttpResponse typed = HttpResponse::ok(HttpResponseBody::data(bytes, "image/png"));
    EXPECT_EQ(typed.headerFields(), (Headers{{"Server", server}, {"Content-Type", "image/png"}}));
    const auto [length, writer] = typed.lengthAndWriter();
    EXPECT_EQ(length, 3);
    const RecordingSink sink = sent(writer);
    EXPECT_EQ(sink.calls, std::vector<std::string>{"writeDataContents"});
    EXPECT_EQ(sink.written, std::string("\x01\x02\x03"));

    const HttpResponse untyped = HttpResponse::ok(HttpResponseBody::data(Bytes{}));
    EXPECT_EQ(untyped.headerFields(), (Headers{{"Server", server}}));
    EXPECT_EQ(untyped.lengthAndWriter().first, 0);
}

TEST(HttpResponse, WriterSendsItsBytesAgainWhenCalledTwice) {
    const auto [length, writer] = HttpResponseBody::text("ab").lengthAndWriter();
    RecordingSink sink;
    writer(sink);
    writer(sink);
    EXPECT_EQ(sink.written, "abab");
}

TEST(HttpResponse, SinkErrorsPassOutOfTheWriter) {
    struct FailingSink : RecordingSink {
        void writeBytes(const Bytes &) override { throw std::runtime_error("sink broke"); }
    } sink;
    const auto writer = HttpResponseBody::text("x").lengthAndWriter().second;
    EXPECT_THROW(writer(sink), std::runtime_error);
}

TEST(HttpResponse, CustomBodyConvertsOrReportsTheError) {
    const auto body =
        HttpResponseBody::custom<int>(42, [](const int &n) { return "n=" + std::to_string(n); });
    EXPECT_EQ(sent(body.lengthAndWriter().second).written, "n=42");

    const HttpResponse failing = HttpResponse::ok(HttpResponseBody::custom<int>(
        1, [](const int &) -> std::string { throw std::runtime_error("cannot convert"); }));
    const auto [length, writer] = failing.lengthAndWriter();
    EXPECT_EQ(sent(writer).written, "Serialisation error: cannot convert");
    EXPECT_EQ(length, 35);
    EXPECT_EQ(failing.statusCode(), 200);
    EXPECT_EQ(failing.headerFields(), (Headers{{"Server", server}}));
}

TEST(HttpResponse, RedirectsCarryTheirLocationWithoutBody) {
    const HttpResponse moved = HttpResponse::movedTemporarily("/next");
    EXPECT_EQ(moved.statusCode(), 307);
    EXPECT_EQ(moved.headerFields(), (Headers{{"Server", server}, {"Location", "/next"}}));
    const auto [length, writer] = moved.lengthAndWriter();
    EXPECT_EQ(length, -1);
    EXPECT_FALSE(writer);
    EXPECT_EQ(HttpResponse::movedPermanently("/p").headerFields().at("Location"), "/p");
}

TEST(HttpResponse, RawPassesItsMapAndWriterThrough) {
    bool wrote = false;
    const HttpResponse raw =
        HttpResponse::raw(299, "Whatever", Headers{{"Server", "Mine"}, {"Content-Type", "a/b"}},
                          [&](HttpResponseBodyWriter &) { wrote = true; });
    EXPECT_EQ(raw.statusCode(), 299);
    EXPECT_EQ(raw.reasonPhrase(), "Whatever");
    EXPECT_EQ(raw.headerFields(), (Headers{{"Server", "Mine"}, {"Content-Type", "a/b"}}));
    const auto [length, writer] = raw.lengthAndWriter();
    EXPECT_EQ(length, -1);
    ASSERT_TRUE(writer);
    sent(writer);
    EXPECT_TRUE(wrote);

    const HttpResponse bare = HttpResponse::raw(204, "No Content");
    EXPECT_EQ(bare.headerFields(), (Headers{{"Server", server}}));
    EXPECT_FALSE(bare.lengthAndWriter().second);
    // Names are compared exactly: "server" is a second entry.
    EXPECT_EQ(HttpResponse::raw(200, "OK", Headers{{"server", "x"}}).headerFields().size(), 2u);
}

TEST(HttpResponse, SwitchProtocolsMapOverridesServerAndHasNoBody) {
    bool tookOver = false;
    const HttpResponse upgrade = HttpResponse::switchProtocols(
        {{"Server", "WS"}, {"Upgrade", "websocket"}}, [&](auto) { tookOver = true; });
    EXPECT_EQ(upgrade.statusCode(), 101);
    EXPECT_EQ(upgrade.headerFields(), (Headers{{"Server", "WS"}, {"Upgrade", "websocket"}}));
    EXPECT_EQ(upgrade.lengthAndWriter().first, -1);
    EXPECT_FALSE(upgrade.lengthAndWriter().second);
    upgrade.session()(nullptr);
    EXPECT_TRUE(tookOver);
}

TEST(HttpResponse, CasesWithoutPayloadHaveOnlyTheServerHeader) {
    for (const HttpResponse &response :
         {HttpResponse::created(), HttpResponse::accepted(), HttpResponse::unauthorized(),
          HttpResponse::forbidden(), HttpResponse::notFound(), HttpResponse::notAcceptable(),
          HttpResponse::tooManyRequests(), HttpResponse::internalServerError()}) {
        EXPECT_EQ(response.headerFields(), (Headers{{"Server", server}}));
        EXPECT_EQ(response.lengthAndWriter().first, -1);
        EXPECT_FALSE(response.lengthAndWriter().second);
    }
}
