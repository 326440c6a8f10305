#include "http/HttpRequest.h"

#include "http/ByteHelpers.h"
#include "http/UnicodeText.h"

#include <string_view>

namespace quintarvel {

namespace {

using Bytes = HttpRequest::Bytes;

// The pieces of a header value split at ";", each trimmed: the media type first, then its
// parameters. An absent header gives no pieces.
std::vector<std::string> contentTypePieces(const HttpRequest::HeaderMap &headers) {
    const auto found = headers.find("content-type");
    if (found == headers.end()) {
        return {};
    }
    std::vector<std::string> pieces = text::splitKeepingEmpty(found->second, ';');
    for (std::string &piece : pieces) {
        piece = text::trimWhitespace(piece);
    }
    return pieces;
}

// ---- url-encoded forms ----------------------------------------------------------------------

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// "+" is a blank, "%XY" the byte XY. Nothing when a "%" lacks two hex digits or the bytes are
// not UTF-8. Blanks come first, so "%2B" stays a plus sign.
std::optional<std::string> decodeFormText(std::string_view encoded) {
    std::string decoded;
    decoded.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '+') {
            decoded.push_back(' ');
        } else if (c != '%') {
            decoded.push_back(c);
        } else {
            if (encoded.size() - i < 3) {
                return std::nullopt;
            }
            const int high = hexDigitValue(encoded[i + 1]);
            const int low = hexDigitValue(encoded[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            decoded.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        }
    }
    if (!text::isValidUtf8(decoded)) {
        return std::nullopt;
    }
    return decoded;
}

// One "&" item: (name, value), or two empty texts when it is not exactly name=value or does not
// decode, so that every item keeps its place in the list.
std::pair<std::string, std::string> decodeFormField(std::string_view item) {
    const std::vector<std::string> pieces = text::splitKeepingEmpty(item, '=');
    if (pieces.size() != 2) {
        return {};
    }
    std::optional<std::string> name = decodeFormText(pieces[0]);
    std::optional<std::string> value = decodeFormText(pieces[1]);
    if (!name || !value) {
        return {};
    }
    return {std::move(*name), std::move(*value)};
}

// ---- multipart forms ------------------------------------------------------------------------

// The one position in the body shared by the readers below; it only moves forward, so the
// body is walked once however many parts it holds.
struct MultipartCursor {
    const Bytes &data;
    std::size_t position = 0;

    bool atEnd() const { return position >= data.size(); }
};

// Bytes up to the next line feed (consumed) or the end. Bytes 0..13 never reach the line, so
// the CR of a CR LF, and tabs, are gone. Nothing when the line is not UTF-8.
std::optional<std::string> readMultipartLine(MultipartCursor &cursor) {
    std::string line;
    while (!cursor.atEnd()) {
        const std::uint8_t byte = cursor.data[cursor.position++];
        if (byte == '\n') {
            break;
        }
        if (byte > 13) {
            line.push_back(static_cast<char>(byte));
        }
    }
    if (!text::isValidUtf8(line)) {
        return std::nullopt;
    }
    return line;
}

// The content up to the next frame, leaving the cursor just after it, with the frame and then
// one LF and one CR removed from the end. A byte that breaks a partial match is not compared
// again with the frame's first byte: a delimiter is recognised because the line break before
// it resets the match. That keeps the walk strictly one step per byte. Nothing when the data
// ends first (the cursor then stands at the end) or is already at its end. The content is a
// view into the body: nothing is copied.
std::optional<std::span<const std::uint8_t>> readMultipartBody(MultipartCursor &cursor,
                                                               std::string_view frame) {
    if (cursor.atEnd()) {
        return std::nullopt;
    }
    const std::size_t start = cursor.position;
    std::size_t matched = 0;
    while (!cursor.atEnd()) {
        const std::uint8_t byte = cursor.data[cursor.position++];
        matched = byte == static_cast<std::uint8_t>(frame[matched]) ? matched + 1 : 0;
        if (matched == frame.size()) {
            std::size_t end = cursor.position - frame.size();
            if (end > start && cursor.data[end - 1] == '\n') {
                --end;
            }
            if (end > start && cursor.data[end - 1] == '\r') {
                --end;
            }
            return std::span(cursor.data).subspan(start, end - start);
        }
    }
    return std::nullopt;
}

// The next part: the rest of the delimiter line (for the first part, the whole line, which must
// be the frame), header lines up to an empty one, then the content.
std::optional<HttpRequest::MultiPart> readMultipartPart(MultipartCursor &cursor,
                                                        std::string_view frame, bool first) {
    const std::optional<std::string> delimiterLine = readMultipartLine(cursor);
    if (first && delimiterLine != frame) {
        return std::nullopt;
    }

    HttpRequest::MultiPart part;
    while (true) {
        const std::optional<std::string> line = readMultipartLine(cursor);
        if (!line) {
            // A header line that is not UTF-8 is skipped; treating it as the end of the headers
            // would turn the rest of the headers into content.
            continue;
        }
        if (line->empty()) {
            break;
        }
        const std::vector<std::string> pieces = text::splitKeepingEmpty(*line, ':');
        if (pieces.size() == 2) {
            part.headers[text::lowercased(pieces[0])] = text::trimWhitespace(pieces[1]);
        }
    }

    const std::optional<std::span<const std::uint8_t>> content = readMultipartBody(cursor, frame);
    if (!content) {
        return std::nullopt;
    }
    part.body = *content;
    return part;
}

// Splits at ";" except inside a double-quoted string (where a backslash keeps the next
// character from closing it), so that a quoted file name may hold ";".
std::vector<std::string_view> splitParametersOutsideQuotes(std::string_view value) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ';' && !quoted) {
            pieces.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.push_back(value.substr(std::min(start, value.size())));
    return pieces;
}

} // namespace

HttpRequest::FormFields HttpRequest::urlencodedFormFields() const {
    const std::vector<std::string> type = contentTypePieces(headers);
    if (type.empty() || type.front() != "application/x-www-form-urlencoded") {
        return {};
    }
    const std::string_view text(reinterpret_cast<const char *>(body.data()), body.size());
    if (!text::isValidUtf8(text)) {
        return {};
    }
    FormFields fields;
    for (const std::string &item : text::splitKeepingEmpty(text, '&')) {
        fields.push_back(decodeFormField(item));
    }
    return fields;
}

std::vector<HttpRequest::MultiPart> HttpRequest::multipartParts() const & {
    const std::vector<std::string> type = contentTypePieces(headers);
    if (type.empty() || type.front() != "multipart/form-data") {
        return {};
    }
    // Nothing around the "=" is trimmed; the last boundary piece wins.
    std::string boundary;
    for (const std::string &piece : type) {
        const std::vector<std::string> pair = text::splitKeepingEmpty(piece, '=');
        if (pair.size() == 2 && pair[0] == "boundary") {
            // RFC 2046 allows the boundary in quotes; the delimiter lines never carry them.
            boundary = stripSurroundingQuotes(pair[1]);
        }
    }
    if (boundary.empty()) {
        return {};
    }

    const std::string frame = "--" + boundary;
    MultipartCursor cursor{body};
    std::vector<MultiPart> parts;
    for (bool first = true;; first = false) {
        std::optional<MultiPart> part = readMultipartPart(cursor, frame, first);
        if (!part) {
            return parts;
        }
        parts.push_back(std::move(*part));
    }
}

std::optional<std::string> HttpRequest::MultiPart::dispositionName() const {
    return dispositionParameter("name");
}

std::optional<std::string> HttpRequest::MultiPart::dispositionFilename() const {
    return dispositionParameter("filename");
}

std::optional<std::string>
HttpRequest::MultiPart::dispositionParameter(const std::string &parameter) const {
    const auto found = headers.find("content-disposition");
    if (found == headers.end()) {
        return std::nullopt;
    }
    for (const std::string_view rawPiece : splitParametersOutsideQuotes(found->second)) {
        const std::string piece = text::trimWhitespace(rawPiece);
        const std::size_t equals = piece.find('=');
        if (equals != std::string::npos && piece.compare(0, equals, parameter) == 0) {
            return stripSurroundingQuotes(std::string_view(piece).substr(equals + 1));
        }
    }
    return std::nullopt;
}

} // namespace quintarvel
