#include "http/HttpRequest.h"

#include "http/UnicodeText.h"

namespace quintarvel {

bool HttpRequest::headerContainsToken(const std::string &name, const std::string &token) const {
    const auto found = headers.find(name);
    if (found == headers.end()) {
        return false;
    }
    for (const std::string &piece : text::splitKeepingEmpty(found->second, ',')) {
        if (text::lowercased(text::trimWhitespace(piece)) == token) {
            return true;
        }
    }
    return false;
}

} // namespace quintarvel
