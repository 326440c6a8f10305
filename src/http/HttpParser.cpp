#include "http/HttpParser.h"

#include "http/PercentDecoding.h"
#include "http/UnicodeText.h"

#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

namespace quintarvel {

namespace {

bool isAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The URL-query set: letters, digits and ! $ & ' ( ) * + , - . / : ; = ? _ ~ @.
bool inQuerySet(char c) {
    return isAlpha(c) || isDigit(c) || (c != '\0' && std::strchr("!$&'()*+,-./:;=?_~@", c));
}

// Every byte of the UTF-8 text outside the set becomes %XX, the percent sign included, so the
// parse below sees no fragment and no escape the client wrote.
std::string percentEncode(std::string_view target) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(target.size());
    for (const char c : target) {
        if (inQuerySet(c)) {
            out.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0xF]);
        }
    }
    return out;
}

// The target's text again: every escape in the reference is one percentEncode wrote over the
// UTF-8 of a line, so decoding cannot fail.
std::string percentDecode(std::string_view encoded) {
    return removingPercentEncoding(encoded).value_or(std::string());
}

struct UriParts {
    std::string_view path;
    std::optional<std::string_view> query;
};

// Authority of RFC 3986 as it can look after percentEncode (no brackets, so no IP literal):
// [userinfo "@"] host [":" port], with no "@" in the host and only digits in the port.
bool isValidAuthority(std::string_view authority) {
    const std::size_t at = authority.find('@');
    const std::string_view hostPort =
        at == std::string_view::npos ? authority : authority.substr(at + 1);
    if (hostPort.find('@') != std::string_view::npos) {
        return false;
    }
    const std::size_t colon = hostPort.find(':');
    if (colon == std::string_view::npos) {
        return true;
    }
    for (const char c : hostPort.substr(colon + 1)) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

// Splits a URI reference (RFC 3986, section 4.1) into path and query, or no value when it is
// none. The text comes from percentEncode, so every character is one a path or query may hold
// and there is no "#"; what is left to check is the structure around scheme and authority.
std::optional<UriParts> parseUriReference(std::string_view s) {
    std::string_view rest = s;
    bool hasScheme = false;
    if (!s.empty() && isAlpha(s[0])) {
        std::size_t i = 1;
        while (i < s.size() &&
               (isAlpha(s[i]) || isDigit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.')) {
            ++i;
        }
        if (i < s.size() && s[i] == ':') {
            hasScheme = true;
            rest = s.substr(i + 1);
        }
    }
    if (rest.starts_with("//")) {
        const std::size_t end = rest.find_first_of("/?", 2);
        const std::string_view authority =
            rest.substr(2, end == std::string_view::npos ? std::string_view::npos : end - 2);
        if (!isValidAuthority(authority)) {
            return std::nullopt;
        }
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
    } else if (!hasScheme) {
        // path-noscheme: the first segment of a relative path holds no colon.
        const std::string_view firstSegment = rest.substr(0, rest.find_first_of("/?"));
        if (firstSegment.find(':') != std::string_view::npos) {
            return std::nullopt;
        }
    }
    UriParts parts;
    const std::size_t question = rest.find('?');
    parts.path = rest.substr(0, question);
    if (question != std::string_view::npos) {
        parts.query = rest.substr(question + 1);
    }
    return parts;
}

HttpRequest::QueryParams queryItems(std::string_view query) {
    HttpRequest::QueryParams items;
    for (const std::string &item : text::splitKeepingEmpty(query, '&')) {
        if (item.empty()) {
            continue;
        }
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            items.emplace_back(percentDecode(item), std::string());
        } else {
            items.emplace_back(percentDecode(std::string_view(item).substr(0, equals)),
                               percentDecode(std::string_view(item).substr(equals + 1)));
        }
    }
    return items;
}

// An optional sign and one or more ASCII digits, within a signed 64-bit integer.
std::optional<std::int64_t> parseSignedDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulated as a negative number, whose range is one larger.
    std::int64_t value = 0;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    for (const char c : text) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

std::string readBoundedLine(Socket &socket) {
    std::optional<std::string> line = socket.readTextLineWithin(HttpParser::maxLineLength);
    if (!line) {
        throw HttpParserError(HttpParserError::Case::lineTooLong);
    }
    return std::move(*line);
}

} // namespace

std::shared_ptr<HttpRequest> HttpParser::readRequest(Socket &socket) const {
    Head head = readRequestHead(socket);
    readRequestBody(socket, head);
    return std::move(head.request);
}

HttpParser::Head HttpParser::readRequestHead(Socket &socket) const {
    const std::string line = readBoundedLine(socket);
    std::vector<std::string> tokens = text::splitKeepingEmpty(line, ' ');
    if (tokens.size() < 3) {
        throw HttpParserError(HttpParserError::Case::invalidStatusLine, line);
    }
    Head head;
    head.request = std::make_shared<HttpRequest>();
    HttpRequest &request = *head.request;
    request.method = tokens[0];
    head.version = std::move(tokens[2]);
    const std::string target = percentEncode(tokens[1]);
    if (const std::optional<UriParts> parts = parseUriReference(target)) {
        request.path = percentDecode(parts->path);
        if (parts->query) {
            request.queryParams = queryItems(*parts->query);
        }
    }
    request.headers = readHeaderLines(socket);
    const auto contentLength = request.headers.find("content-length");
    if (contentLength != request.headers.end()) {
        if (const std::optional<std::int64_t> length = parseSignedDecimal(contentLength->second)) {
            if (*length < 0) {
                throw HttpParserError(HttpParserError::Case::negativeContentLength);
            }
            head.contentLength = *length;
        }
    }
    return head;
}

void HttpParser::readRequestBody(Socket &socket, Head &head) const {
    if (head.contentLength > maxContentLength) {
        throw HttpParserError(HttpParserError::Case::contentLengthTooLarge);
    }
    head.request->body = socket.readBytes(head.contentLength);
}

HttpRequest::HeaderMap HttpParser::readHeaderLines(Socket &socket) const {
    HttpRequest::HeaderMap headers;
    std::size_t count = 0;
    while (true) {
        const std::string line = readBoundedLine(socket);
        if (line.empty()) {
            return headers;
        }
        if (++count > maxHeaderLines) {
            throw HttpParserError(HttpParserError::Case::tooManyHeaderLines);
        }
        const std::size_t nameStart = line.find_first_not_of(':');
        if (nameStart == std::string::npos) {
            continue;
        }
        const std::size_t colon = line.find(':', nameStart);
        if (colon == std::string::npos) {
            continue;
        }
        const std::string_view rest = std::string_view(line).substr(colon + 1);
        headers[text::lowercased(std::string_view(line).substr(nameStart, colon - nameStart))] =
            text::trimWhitespace(rest);
    }
}

} // namespace quintarvel
