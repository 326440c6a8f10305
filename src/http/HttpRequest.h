#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quintarvel {

// One parsed HTTP/1.1 request. HttpParser::readRequest fills path, queryParams, method, headers
// and body; the server's request loop then stores the peer address and the route parameters and
// hands the request (shared, std::shared_ptr<HttpRequest>) to one handler. Texts are UTF-8; the
// request line and header lines were read as Latin-1, so every character of them lies in
// U+000E..U+00FF. Not synchronised: one task at a time owns a request.
class HttpRequest {
  public:
    using QueryParams = std::vector<std::pair<std::string, std::string>>;
    using HeaderMap = std::map<std::string, std::string>;
    using Bytes = std::vector<std::uint8_t>;

    HttpRequest() = default;
    virtual ~HttpRequest() = default;
    HttpRequest(const HttpRequest &) = default;
    HttpRequest &operator=(const HttpRequest &) = default;

    // Path of the target with the client's percent escapes left as sent ("/a%20b" stays so).
    std::string path;
    // Query items in order, duplicates kept; names and values undecoded, like path.
    QueryParams queryParams;
    // First token of the request line, in the client's letter case.
    std::string method;
    // Names lower-cased, values trimmed; a later line with the same name replaces the earlier.
    HeaderMap headers;
    // Exactly "content-length" bytes, or empty.
    Bytes body;
    // Numeric peer address; present and empty at construction, absent when it cannot be read.
    std::optional<std::string> address = std::string();
    // Route parameters keyed by the route segment with its colon (":name").
    std::map<std::string, std::string> params;

    // Whether the comma-separated value of header `name` (looked up exactly as given, so pass
    // it lower-case) holds `token` once a piece is trimmed and lower-cased. The token is not
    // lower-cased: pass it lower-case too.
    virtual bool headerContainsToken(const std::string &name, const std::string &token) const;

    // ---- Body decoders -------------------------------------------------------------------
    // Both read only headers and body, never fail and never throw: a body that does not fit
    // the rules gives an empty result. Defined in HttpRequestDecoders.cpp.

    // One part of a "multipart/form-data" body.
    struct MultiPart {
        // Names lower-cased, values trimmed; a later line with the same name replaces the
        // earlier.
        HeaderMap headers;
        // The content, without the line break before the next delimiter: a view into the
        // request's body, never a copy, so an upload is held in memory once. Valid while that
        // request lives and its body is not changed.
        std::span<const std::uint8_t> body;

        // The "name" and "filename" parameters of the "content-disposition" header.
        std::optional<std::string> dispositionName() const;
        std::optional<std::string> dispositionFilename() const;
        // The value of the first piece of "content-disposition" whose text before its first
        // "=" is exactly `parameter`, surrounding quotes removed. Pieces are split at ";"
        // outside double quotes, so a quoted file name may hold ";" and "=". None without the
        // header or such a piece.
        std::optional<std::string> dispositionParameter(const std::string &parameter) const;
    };

    using FormFields = std::vector<std::pair<std::string, std::string>>;

    // The fields of an "application/x-www-form-urlencoded" body (content type compared
    // exactly, parameters ignored): one (name, value) pair per "&"-separated item, in order,
    // "+" read as a blank and "%XY" as a byte. An item that is not exactly name=value, or that
    // does not decode to UTF-8, gives a pair of two empty texts. Empty for any other content
    // type or a body that is not UTF-8.
    virtual FormFields urlencodedFormFields() const;

    // The parts of a "multipart/form-data" body (content type compared exactly), in one
    // forward pass over the body. The body must begin with the delimiter line; a part whose
    // closing delimiter is missing ends the list. A quoted boundary parameter loses its
    // quotes. The parts view this request's body, so a request about to go away has none.
    virtual std::vector<MultiPart> multipartParts() const &;
    std::vector<MultiPart> multipartParts() const && = delete;
    // ---- End of body decoders ------------------------------------------------------------
};

} // namespace quintarvel
