#include "http/HttpRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quintarvel {
namespace {

using Bytes = HttpRequest::Bytes;
using FormFields = HttpRequest::FormFields;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

HttpRequest requestWith(const std::string &contentType, std::string_view body) {
    HttpRequest request;
    request.headers["content-type"] = contentType;
    request.body = bytesOf(body);
    return request;
}

std::vector<HttpRequest::MultiPart> partsOf(const std::string &contentType, std::string_view body) {
    return requestWith(contentType, body).multipartParts();
}

const std::string imageBody = "--XyZ\r\n"
                              "Content-Disposition: form-data; name=\"image\"; "
                              "filename=\"image.fits\"\r\n"
                              "Content-Type: application/octet-stream\r\n"
                              "\r\n"
                              "\x01\x02\x03\r\n"
                              "--XyZ--\r\n";

// ---- url-encoded forms ----------------------------------------------------------------------

TEST(UrlencodedFormFields, OnePairPerItemInOrderWithDuplicates) {
    const std::string type = "application/x-www-form-urlencoded";
    EXPECT_EQ(requestWith(type, "a=1&b=%41+c&a=2").urlencodedFormFields(),
              (FormFields{{"a", "1"}, {"b", "A c"}, {"a", "2"}}));
    EXPECT_EQ(requestWith(type, "x=%2B").urlencodedFormFields(), (FormFields{{"x", "+"}}));
    EXPECT_EQ(requestWith(type, "n%C3%A4me=%e2%82%AC").urlencodedFormFields(),
              (FormFields{{"n\u00e4me", "\u20ac"}}));
    EXPECT_EQ(requestWith(type, "empty=").urlencodedFormFields(), (FormFields{{"empty", ""}}));
}

TEST(UrlencodedFormFields, BadItemsKeepTheirPlaceAsEmptyPairs) {
    const std::string type = "application/x-www-form-urlencoded";
    EXPECT_EQ(requestWith(type, "a=1&&b").urlencodedFormFields(),
              (FormFields{{"a", "1"}, {"", ""}, {"", ""}}));
    EXPECT_EQ(requestWith(type, "k=%zz").urlencodedFormFields(), (FormFields{{"", ""}}));
    EXPECT_EQ(requestWith(type, "k=%4").urlencodedFormFields(), (FormFields{{"", ""}}));
    EXPECT_EQ(requestWith(type, "k=50%").urlencodedFormFields(), (FormFields{{"", ""}}));
    EXPECT_EQ(requestWith(type, "a=b=c&d=e").urlencodedFormFields(),
              (FormFields{{"", ""}, {"d", "e"}}));
    // Escapes that decode to bytes that are not UTF-8.
    EXPECT_EQ(requestWith(type, "k=%FF&ok=1").urlencodedFormFields(),
              (FormFields{{"", ""}, {"ok", "1"}}));
    EXPECT_EQ(requestWith(type, "").urlencodedFormFields(), (FormFields{{"", ""}}));
}

TEST(UrlencodedFormFields, ContentTypeMustMatchExactly) {
    EXPECT_EQ(requestWith("application/x-www-form-urlencoded; charset=UTF-8", "a=1")
                  .urlencodedFormFields(),
              (FormFields{{"a", "1"}}));
    EXPECT_TRUE(
        requestWith("Application/X-WWW-Form-Urlencoded", "a=1").urlencodedFormFields().empty());
    EXPECT_TRUE(requestWith("text/plain", "a=1").urlencodedFormFields().empty());
    HttpRequest untyped;
    untyped.body = bytesOf("a=1");
    EXPECT_TRUE(untyped.urlencodedFormFields().empty());
}

TEST(UrlencodedFormFields, BodyThatIsNotUtf8GivesNothing) {
    EXPECT_TRUE(requestWith("application/x-www-form-urlencoded", "a=\xff\xfe&b=2")
                    .urlencodedFormFields()
                    .empty());
}

// ---- multipart: content type and boundary ---------------------------------------------------

TEST(MultipartParts, ReadsOnePartWithHeadersAndBinaryContent) {
    const auto parts = partsOf("multipart/form-data; boundary=XyZ", imageBody);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].headers,
              (HttpRequest::HeaderMap{
                  {"content-disposition", "form-data; name=\"image\"; filename=\"image.fits\""},
                  {"content-type", "application/octet-stream"}}));
    EXPECT_EQ(parts[0].body, (Bytes{1, 2, 3}));
    EXPECT_EQ(parts[0].dispositionName(), "image");
    EXPECT_EQ(parts[0].dispositionFilename(), "image.fits");
}

TEST(MultipartParts, ContentTypeComparedExactlyAndParametersInAnyOrder) {
    EXPECT_EQ(partsOf("multipart/form-data; charset=utf-8; boundary=XyZ", imageBody).size(), 1u);
    EXPECT_EQ(partsOf("multipart/form-data;boundary=XyZ", imageBody).size(), 1u);
    EXPECT_TRUE(partsOf("Multipart/Form-Data; boundary=XyZ", imageBody).empty());
    EXPECT_TRUE(partsOf("multipart/mixed; boundary=XyZ", imageBody).empty());
    HttpRequest untyped;
    untyped.body = bytesOf(imageBody);
    EXPECT_TRUE(untyped.multipartParts().empty());
}

TEST(MultipartParts, BoundaryParameterRules) {
    EXPECT_TRUE(partsOf("multipart/form-data", imageBody).empty());
    EXPECT_TRUE(partsOf("multipart/form-data; boundary=", imageBody).empty());
    EXPECT_TRUE(partsOf("multipart/form-data; boundary=\"\"", imageBody).empty());
    // Blanks around "=" are not trimmed away.
    EXPECT_TRUE(partsOf("multipart/form-data; boundary =XyZ", imageBody).empty());
    EXPECT_TRUE(partsOf("multipart/form-data; boundary= XyZ", imageBody).empty());
    EXPECT_TRUE(partsOf("multipart/form-data; Boundary=XyZ", imageBody).empty());
    // The last boundary piece wins.
    EXPECT_EQ(partsOf("multipart/form-data; boundary=Other; boundary=XyZ", imageBody).size(), 1u);
    EXPECT_TRUE(partsOf("multipart/form-data; boundary=XyZ; boundary=Other", imageBody).empty());
    // RFC 2046 allows the boundary in quotes; the delimiter lines never carry them.
    EXPECT_EQ(partsOf("multipart/form-data; boundary=\"XyZ\"", imageBody).size(), 1u);
}

// ---- multipart: framing ---------------------------------------------------------------------

TEST(MultipartParts, FirstLineMustBeTheFrame) {
    const std::string type = "multipart/form-data; boundary=XyZ";
    EXPECT_TRUE(partsOf(type, "preamble\r\n" + imageBody).empty());
    EXPECT_TRUE(partsOf(type, "\r\n" + imageBody).empty());
    EXPECT_TRUE(partsOf(type, " " + imageBody).empty());
    EXPECT_TRUE(partsOf(type, "").empty());
    EXPECT_TRUE(partsOf(type, "--XyZ \r\n\r\nx\r\n--XyZ--").empty());
    EXPECT_TRUE(partsOf(type, "--X\xffyZ\r\n\r\nx\r\n--XyZ--").empty());
    // A lone LF line end works as well as CR LF.
    EXPECT_EQ(partsOf(type, "--XyZ\n\nx\n--XyZ--\n").size(), 1u);
}

TEST(MultipartParts, SeveralPartsAndWhatFollowsTheClosingDelimiter) {
    const auto parts = partsOf("multipart/form-data; boundary=b",
                               "--b\r\n"
                               "Content-Disposition: form-data; name=\"one\"\r\n\r\n"
                               "first\r\n"
                               "--b\r\n"
                               "Content-Disposition: form-data; name=\"two\"\r\n\r\n"
                               "\r\n"
                               "--b\r\n"
                               "\r\n"
                               "third\r\n"
                               "--b--\r\n"
                               "an epilogue line\r\n");
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].dispositionName(), "one");
    EXPECT_EQ(parts[0].body, bytesOf("first"));
    EXPECT_EQ(parts[1].dispositionName(), "two");
    EXPECT_TRUE(parts[1].body.empty());
    EXPECT_TRUE(parts[2].headers.empty());
    EXPECT_EQ(parts[2].body, bytesOf("third"));
}

// One LF, then one CR, come off the end of the content: the line break before the delimiter.
TEST(MultipartParts, OneLineBreakBeforeTheDelimiterIsRemoved) {
    const std::string type = "multipart/form-data; boundary=XyZ";
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nabc\n--XyZ--").at(0).body, bytesOf("abc"));
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nabc\r\r\n--XyZ--").at(0).body, bytesOf("abc\r"));
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nabc\n\n--XyZ--").at(0).body, bytesOf("abc\n"));
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nabc\r\n\r\n--XyZ--").at(0).body, bytesOf("abc\r\n"));
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nabc\r--XyZ--").at(0).body, bytesOf("abc"));
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nabc\n\r--XyZ--").at(0).body, bytesOf("abc\n"));
    // A delimiter counts wherever its bytes stand, line break before it or not.
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nabc--XyZ--").at(0).body, bytesOf("abc"));
}

TEST(MultipartParts, PartWithoutClosingDelimiterIsDropped) {
    const std::string type = "multipart/form-data; boundary=XyZ";
    const auto parts = partsOf(type, "--XyZ\r\n\r\nkept\r\n--XyZ\r\n\r\nlost without its end\r\n");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].body, bytesOf("kept"));
    // Headers that run to the end of the data give no part either.
    EXPECT_EQ(partsOf(type, "--XyZ\r\n\r\nkept\r\n--XyZ\r\nX-A: b\r\n").size(), 1u);
    EXPECT_TRUE(partsOf(type, "--XyZ\r\n").empty());
}

TEST(MultipartParts, ByteBreakingAPartialMatchIsNotComparedAgain) {
    // The fourth byte of "--a--ab" starts the frame "--ab", but it broke the match of the first
    // three and is not compared again, so the frame is not found there.
    const auto parts =
        partsOf("multipart/form-data; boundary=ab", "--ab\r\n\r\n--a--ab\r\n--ab--\r\n");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].body, bytesOf("--a--ab"));
}

TEST(MultipartParts, BinaryContentWithLineBreaksAndDashesThatAreNotTheFrame) {
    std::string content = "\r\n--\r\n--Xy\r\n--XyY\r\n\r\n--X-XyZZ";
    content.append("\r\n-- XyZ\r\n--xyz\n\r--XyY--");
    for (int byte = 0; byte < 256; ++byte) {
        content.push_back(static_cast<char>(byte));
    }
    content.append("\r\n\r\n");
    const auto parts =
        partsOf("multipart/form-data; boundary=XyZ",
                "--XyZ\r\nContent-Disposition: form-data; name=\"blob\"; filename=\"b.bin\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n" +
                    content + "\r\n--XyZ--\r\n");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].body, bytesOf(content));
    EXPECT_EQ(parts[0].dispositionFilename(), "b.bin");
}

// ---- multipart: part headers ----------------------------------------------------------------

TEST(MultipartParts, PartHeaderLines) {
    const auto parts = partsOf("multipart/form-data; boundary=XyZ", "--XyZ\r\n"
                                                                    "X-Note: a:b\r\n"
                                                                    "X-Other:  a b \t\r\n"
                                                                    "no colon at all\r\n"
                                                                    "X-\xc3\x84rger: umlaut\r\n"
                                                                    "Name : kept with its blank\r\n"
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
    EXPECT_EQ(parts[0].body, bytesOf("content"));
}

TEST(MultipartParts, HeaderLineThatIsNotUtf8IsSkipped) {
    const auto parts = partsOf("multipart/form-data; boundary=XyZ", "--XyZ\r\n"
                                                                    "X-Bad: \xff\xfe\r\n"
                                                                    "Content-Type: text/plain\r\n"
                                                                    "\r\n"
                                                                    "content\r\n"
                                                                    "--XyZ--\r\n");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].headers, (HttpRequest::HeaderMap{{"content-type", "text/plain"}}));
    EXPECT_EQ(parts[0].body, bytesOf("content"));
}

// ---- content-disposition parameters ---------------------------------------------------------

HttpRequest::MultiPart partWithDisposition(const std::string &value) {
    HttpRequest::MultiPart part;
    part.headers["content-disposition"] = value;
    return part;
}

TEST(MultiPartDisposition, ParameterNamesComparedWhole) {
    const auto part = partWithDisposition("form-data; filename=\"a.fits\"; name=\"f\"");
    EXPECT_EQ(part.dispositionName(), "f");
    EXPECT_EQ(part.dispositionFilename(), "a.fits");
    EXPECT_EQ(partWithDisposition("form-data; filename=a.fits").dispositionName(), std::nullopt);
    EXPECT_EQ(partWithDisposition("form-data; Name=x").dispositionName(), std::nullopt);
    EXPECT_EQ(partWithDisposition("form-data; name =x").dispositionName(), std::nullopt);
    EXPECT_EQ(partWithDisposition("form-data; name").dispositionName(), std::nullopt);
    EXPECT_EQ(partWithDisposition("form-data; name=a; name=b").dispositionName(), "a");
    EXPECT_EQ(partWithDisposition("form-data;name=bare").dispositionName(), "bare");
    EXPECT_EQ(partWithDisposition("form-data; name=").dispositionName(), "");
    EXPECT_EQ(HttpRequest::MultiPart{}.dispositionName(), std::nullopt);
    EXPECT_EQ(part.dispositionParameter("form-data"), std::nullopt);
}

TEST(MultiPartDisposition, QuotedValuesMayHoldSeparators) {
    EXPECT_EQ(partWithDisposition("form-data; name=\"f\"; filename=\"M31; x=1.fits\"")
                  .dispositionFilename(),
              "M31; x=1.fits");
    EXPECT_EQ(partWithDisposition("form-data; filename=a=b").dispositionFilename(), "a=b");
    // Only one pair of quotes goes; inner escapes are not undone.
    EXPECT_EQ(partWithDisposition("form-data; filename=\"say \\\"hi\\\"; ok\"; name=n")
                  .dispositionFilename(),
              "say \\\"hi\\\"; ok");
    EXPECT_EQ(
        partWithDisposition("form-data; filename=\"say \\\"hi\\\"; ok\"; name=n").dispositionName(),
        "n");
    // An unbalanced quote runs to the end of the value.
    EXPECT_EQ(partWithDisposition("form-data; filename=\"open; name=n").dispositionFilename(),
              "\"open; name=n");
}

// ---- linearity --------------------------------------------------------------------------------

// 64 MiB in which the longest allowed boundary almost matches at every step: each run falls
// short by its last byte. A matcher that backs up or searches again would take far too long;
// this one takes one step per byte.
TEST(MultipartParts, NearMatchesEverywhereInALargeBodyStayLinear) {
    const std::string boundary(70, 'a');
    const std::string nearMatch = "--" + boundary.substr(1) + "b";
    const std::size_t contentSize = std::size_t{64} << 20;

    std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"big\"\r\n\r\n";
    const std::size_t contentStart = body.size();
    body.reserve(contentStart + contentSize + boundary.size() + 8);
    while (body.size() - contentStart + nearMatch.size() <= contentSize) {
        body.append(nearMatch);
    }
    body.append(contentSize - (body.size() - contentStart), '-');
    body.append("\r\n--" + boundary + "--\r\n");

    HttpRequest request;
    request.headers["content-type"] = "multipart/form-data; boundary=" + boundary;
    request.body.assign(body.begin(), body.end());
    const auto parts = request.multipartParts();

    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].dispositionName(), "big");
    ASSERT_EQ(parts[0].body.size(), contentSize);
    EXPECT_TRUE(std::equal(parts[0].body.begin(), parts[0].body.end(),
                           request.body.begin() + static_cast<std::ptrdiff_t>(contentStart)));
}

} // namespace
} // namespace quintarvel
