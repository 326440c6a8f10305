#include "http/HttpParserError.h"

namespace quintarvel {

namespace {

std::string describe(HttpParserError::Case kind, const std::string &line) {
    std::string text = HttpParserError::caseName(kind);
    if (kind == HttpParserError::Case::invalidStatusLine) {
        text += "(\"" + line + "\")";
    }
    return text;
}

} // namespace

HttpParserError::HttpParserError(Case kind, std::string line)
    : std::runtime_error(describe(kind, line)), kind_(kind), line_(std::move(line)) {}

const char *HttpParserError::caseName(Case kind) {
    switch (kind) {
    case Case::invalidStatusLine:
        return "invalidStatusLine";
    case Case::negativeContentLength:
        return "negativeContentLength";
    case Case::lineTooLong:
        return "lineTooLong";
    case Case::tooManyHeaderLines:
        return "tooManyHeaderLines";
    case Case::contentLengthTooLarge:
        return "contentLengthTooLarge";
    }
    return "unknown";
}

} // namespace quintarvel
