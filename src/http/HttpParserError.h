#pragma once

#include <stdexcept>
#include <string>

namespace quintarvel {

// Why a request could not be read. The server ends the connection on any of them without an
// answer, as it does for a failed read.
class HttpParserError : public std::runtime_error {
  public:
    enum class Case {
        invalidStatusLine,     // fewer than three tokens; carries the line as read
        negativeContentLength, // "content-length" is a negative integer
        // The limits below guard the server against lengths a client chooses.
        lineTooLong,           // a request or header line beyond HttpParser::maxLineLength
        tooManyHeaderLines,    // more than HttpParser::maxHeaderLines header lines
        contentLengthTooLarge, // "content-length" above HttpParser::maxContentLength
    };

    explicit HttpParserError(Case kind, std::string line = {});

    Case kind() const noexcept { return kind_; }
    // The request line of invalidStatusLine; empty for the other cases.
    const std::string &line() const noexcept { return line_; }

    static const char *caseName(Case kind);

  private:
    Case kind_;
    std::string line_;
};

} // namespace quintarvel
