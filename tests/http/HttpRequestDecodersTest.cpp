#include "http/HttpRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quintarvel {
namespace {

using Bytes = HttpRequest::Bytes;
using FormFields = HttpRequest::FormFields;
using Parts = std::vector<HttpRequest::MultiPart>;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

HttpRequest requestWith(const std::optional<std::string> &contentType, std::string_view body) {
    HttpRequest request;
    if (contentType)
        request.headers["content-type"] = *contentType;
    request.body = bytesOf(body);
    return request;
}

const std::string formType = "application/x-www-form-urlencoded";
const std::string xyz = "multipart/form-data; boundary=XyZ";

FormFields formOf(std::string_view body, const std::optional<std::string> &type = formType) {
    return requestWith(type, body).urlencodedFormFields();
}

// The parts of a body together with the request whose body they view.
struct PartsOf {
    PartsOf(std::string_view body, const std::optional<std::string> &type = xyz)
        : request(requestWith(type, body)), parts(request.multipartParts()) {}
    PartsOf(const PartsOf &) = delete;

    std::size_t size() const { return parts.size(); }
    bool empty() const { return parts.empty(); }
    const HttpRequest::MultiPart &operator[](std::size_t i) const { return parts[i]; }

    const HttpRequest request;
    const Parts parts;
};

PartsOf partsOf(std::string_view body, const std::optional<std::string> &type = xyz) {
    return PartsOf(body, type);
}

Bytes contentOf(const HttpRequest::MultiPart &part) {
    return Bytes(part.body.begin(), part.body.end());
}

// The content of the only part of a body with boundary XyZ and no part headers.
std::string contentOf(const std::string &afterBlankLine) {
    const PartsOf parts("--XyZ\r\n\r\n" + afterBlankLine);
    EXPECT_EQ(parts.size(), 1u) << afterBlankLine;
    return parts.empty() ? "(none)" : std::string(parts[0].body.begin(), parts[0].body.end());
}

const std::string imageBody = "--XyZ\r\n"
                              "Content-Disposition: form-data; name=\"image\"; "
                              "filename=\"image.fits\"\r\n"
                              "Content-Type: application/octet-stream\r\n"
                              "\r\n"
                              "\x01\x02\x03\r\n"
                              "--XyZ--\r\n";

TEST(UrlencodedFormFields, PairsInOrderAndBadItemsAsEmptyPairs) {
    EXPECT_EQ(formOf("a=1&b=%41+c&a=2&x=%2B&empty="),
              (FormFields{{"a", "1"}, {"b", "A c"}, {"a", "2"}, {"x", "+"}, {"empty", ""}}));
    EXPECT_EQ(formOf("n%C3%A4me=%e2%82%AC"), (FormFields{{"n\u00e4me", "\u20ac"}}));
    EXPECT_EQ(formOf("a=1&&b"), (FormFields{{"a", "1"}, {"", ""}, {"", ""}}));
    for (const char *bad : {"k=%zz", "k=%4", "k=50%", "a=b=c", "k=%FF", ""})
        EXPECT_EQ(formOf(bad), (FormFields{{"", ""}})) << bad;
    // The content type is compared exactly, parameters aside; a body that is not UTF-8 gives
    // nothing.
    EXPECT_EQ(formOf("a=1", formType + "; charset=UTF-8"), (FormFields{{"a", "1"}}));
    EXPECT_TRUE(formOf("a=1", "Application/X-WWW-Form-Urlencoded").empty());
    EXPECT_TRUE(formOf("a=1", "text/plain").empty());
    EXPECT_TRUE(formOf("a=1", std::nullopt).empty());
    EXPECT_TRUE(formOf("a=\xff\xfe&b=2").empty());
}

TEST(MultipartParts, ReadsOnePartWithHeadersAndBinaryContent) {
    const auto parts = partsOf(imageBody);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].headers,
              (HttpRequest::HeaderMap{
                  {"content-disposition", "form-data; name=\"image\"; filename=\"image.fits\""},
                  {"content-type", "application/octet-stream"}}));
    EXPECT_EQ(contentOf(parts[0]), (Bytes{1, 2, 3}));
    EXPECT_EQ(parts[0].dispositionName(), "image");
    EXPECT_EQ(parts[0].dispositionFilename(), "image.fits");
}

TEST(MultipartParts, ContentTypeAndBoundaryRules) {
    const std::pair<std::optional<std::string>, std::size_t> cases[] = {
        {"multipart/form-data; charset=utf-8; boundary=XyZ", 1},
        {"multipart/form-data;boundary=XyZ", 1},
        {"Multipart/Form-Data; boundary=XyZ", 0},
        {"multipart/mixed; boundary=XyZ", 0},
        {std::nullopt, 0},
        {"multipart/form-data", 0},
        {"multipart/form-data; boundary=", 0},
        {"multipart/form-data; boundary=\"\"", 0},
        // Blanks around "=" are not trimmed away; the name is compared exactly.
        {"multipart/form-data; boundary =XyZ", 0},
        {"multipart/form-data; boundary= XyZ", 0},
        {"multipart/form-data; Boundary=XyZ", 0},
        // The last boundary piece wins.
        {"multipart/form-data; boundary=Other; boundary=XyZ", 1},
        {"multipart/form-data; boundary=XyZ; boundary=Other", 0},
        // RFC 2046 allows the boundary in quotes; the delimiter lines never carry them.
        {"multipart/form-data; boundary=\"XyZ\"", 1},
    };
    for (const auto &[type, count] : cases)
        EXPECT_EQ(partsOf(imageBody, type).size(), count) << type.value_or("(none)");
}

TEST(MultipartParts, FramingAndWhatFollowsTheClosingDelimiter) {
    // The first line must be the frame.
    for (const std::string &bad :
         {"preamble\r\n" + imageBody, "\r\n" + imageBody, " " + imageBody, std::string(),
          std::string("--XyZ \r\n\r\nx\r\n--XyZ--"), std::string("--X\xffyZ\r\n\r\nx\r\n--XyZ--")})
        EXPECT_TRUE(partsOf(bad).empty()) << bad;
    EXPECT_EQ(partsOf("--XyZ\n\nx\n--XyZ--\n").size(), 1u); // a lone LF ends lines too

    const auto parts = partsOf("--b\r\nContent-Disposition: form-data; name=\"one\"\r\n\r\n"
                               "first\r\n"
                               "--b\r\nContent-Disposition: form-data; name=\"two\"\r\n\r\n"
                               "\r\n"
                               "--b\r\n\r\nthird\r\n"
                               "--b--\r\nan epilogue line\r\n",
                               "multipart/form-data; boundary=b");
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].dispositionName(), "one");
    EXPECT_EQ(contentOf(parts[0]), bytesOf("first"));
    EXPECT_EQ(parts[1].dispositionName(), "two");
    EXPECT_TRUE(parts[1].body.empty());
    EXPECT_TRUE(parts[2].headers.empty());
    EXPECT_EQ(contentOf(parts[2]), bytesOf("third"));

    // A part without its closing delimiter, or with headers that run to the end, is dropped.
    EXPECT_EQ(partsOf("--XyZ\r\n\r\nkept\r\n--XyZ\r\n\r\nlost without its end\r\n").size(), 1u);
    EXPECT_EQ(partsOf("--XyZ\r\n\r\nkept\r\n--XyZ\r\nX-A: b\r\n").size(), 1u);
    EXPECT_TRUE(partsOf("--XyZ\r\n").empty());
}

TEST(MultipartParts, OneLfThenOneCrComeOffTheContent) {
    EXPECT_EQ(contentOf("abc\n--XyZ--"), "abc");
    EXPECT_EQ(contentOf("abc\r\r\n--XyZ--"), "abc\r");
    EXPECT_EQ(contentOf("abc\n\n--XyZ--"), "abc\n");
    EXPECT_EQ(contentOf("abc\r\n\r\n--XyZ--"), "abc\r\n");
    EXPECT_EQ(contentOf("abc\r--XyZ--"), "abc");
    EXPECT_EQ(contentOf("abc\n\r--XyZ--"), "abc\n");
    // A delimiter counts wherever its bytes stand, line break before it or not.
    EXPECT_EQ(contentOf("abc--XyZ--"), "abc");
}

TEST(MultipartParts, ContentThatOnlyResemblesTheFrameIsKept) {
    // The fourth byte of "--a--ab" starts the frame "--ab", but it broke the match of the first
    // three and is not compared again, so the frame is not found there.
    const auto parts =
        partsOf("--ab\r\n\r\n--a--ab\r\n--ab--\r\n", "multipart/form-data; boundary=ab");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(contentOf(parts[0]), bytesOf("--a--ab"));

    std::string binary = "\r\n--\r\n--Xy\r\n--XyY\r\n\r\n--X-XyZZ\r\n-- XyZ\r\n--xyz\n\r--XyY--";
    for (int byte = 0; byte < 256; ++byte)
        binary.push_back(static_cast<char>(byte));
    binary.append("\r\n\r\n");
    EXPECT_EQ(contentOf(binary + "\r\n--XyZ--\r\n"), binary);
}

TEST(MultipartParts, PartHeaderLines) {
    const auto parts = partsOf("--XyZ\r\n"
                               "X-Note: a:b\r\n"
                               "X-Other:  a b \t\r\n"
                               "no colon at all\r\n"
                               "X-\xc3\x84rger: umlaut\r\n"
                               "Name : kept with its blank\r\n"
                               "X-Bad: \xff\xfe\r\n" // not UTF-8: skipped
                               "X-Twice: first\r\n"
                               "x-twice: second\r\n"
                               "\r\n"
                               "content\r\n"
                               "--XyZ--\r\n");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].headers, (HttpRequest::HeaderMap{{"x-other", "a b"},
                                                        {"x-\xc3\xa4rger", "umlaut"},
                                                        {"name ", "kept with its blank"},
                                                        {"x-twice", "second"}}));
    EXPECT_EQ(contentOf(parts[0]), bytesOf("content"));
}

TEST(MultiPartDisposition, ParametersComparedWholeAndQuotedValuesMayHoldSeparators) {
    const auto parameter = [](const std::string &value, const std::string &name) {
        HttpRequest::MultiPart part;
        part.headers["content-disposition"] = value;
        return part.dispositionParameter(name);
    };
    using Maybe = std::optional<std::string>;
    const std::tuple<std::string, std::string, Maybe> cases[] = {
        {"form-data; filename=\"a.fits\"; name=\"f\"", "name", "f"},
        {"form-data; filename=\"a.fits\"; name=\"f\"", "filename", "a.fits"},
        {"form-data; filename=\"a.fits\"; name=\"f\"", "form-data", std::nullopt},
        {"form-data; filename=a.fits", "name", std::nullopt},
        {"form-data; Name=x", "name", std::nullopt},
        {"form-data; name =x", "name", std::nullopt},
        {"form-data; name", "name", std::nullopt},
        {"form-data; name=a; name=b", "name", "a"},
        {"form-data;name=bare", "name", "bare"},
        {"form-data; name=", "name", ""},
        {"form-data; name=\"f\"; filename=\"M31; x=1.fits\"", "filename", "M31; x=1.fits"},
        {"form-data; filename=a=b", "filename", "a=b"},
        // Only one pair of quotes goes; inner escapes are not undone.
        {"form-data; filename=\"say \\\"hi\\\"; ok\"; name=n", "filename", "say \\\"hi\\\"; ok"},
        {"form-data; filename=\"say \\\"hi\\\"; ok\"; name=n", "name", "n"},
        // An unbalanced quote runs to the end of the value.
        {"form-data; filename=\"open; name=n", "filename", "\"open; name=n"},
    };
    for (const auto &[value, name, expected] : cases)
        EXPECT_EQ(parameter(value, name), expected) << value << " / " << name;
    EXPECT_EQ(HttpRequest::MultiPart{}.dispositionName(), std::nullopt);
}

// 64 MiB in which the longest allowed boundary almost matches at every step: each run falls
// short by its last byte. A matcher that backs up or searches again would take far too long;
// this one takes one step per byte, and copies nothing.
TEST(MultipartParts, NearMatchesEverywhereInALargeBodyStayLinear) {
    const std::string boundary(70, 'a');
    const std::string nearMatch = "--" + boundary.substr(1) + "b";
    const std::size_t contentSize = std::size_t{64} << 20;
    std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"big\"\r\n\r\n";
    const std::size_t contentStart = body.size();
    body.reserve(contentStart + contentSize + boundary.size() + 8);
    while (body.size() - contentStart + nearMatch.size() <= contentSize)
        body.append(nearMatch);
    body.append(contentSize - (body.size() - contentStart), '-');
    body.append("\r\n--" + boundary + "--\r\n");

    const HttpRequest request = requestWith("multipart/form-data; boundary=" + boundary, body);
    body.clear();
    const auto parts = request.multipartParts();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].dispositionName(), "big");
    ASSERT_EQ(parts[0].body.size(), contentSize);
    // The part is the body's own bytes, not a copy: an upload is held in memory once.
    EXPECT_EQ(parts[0].body.data(), request.body.data() + contentStart);
}

} // namespace
} // namespace quintarvel
