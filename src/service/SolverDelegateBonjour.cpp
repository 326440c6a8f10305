// The Bonjour callbacks of the HTTP service's announcement.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"

#include <string>

namespace quintarvel {

void SolverDelegate::netServiceDidPublish(NetService &) {
    log("Bonjour service started", successColor());
}

void SolverDelegate::netServiceDidNotPublish(NetService &,
                                             const NetServiceDelegate::ErrorDictionary &errorDict) {
    log("Bonjour service failed", errorColor());
    // The dictionary's text form: ["key": number, "key": number].
    std::string text = "[";
    for (const auto &[key, value] : errorDict) {
        if (text.size() > 1)
            text += ", ";
        text += "\"" + key + "\": " + std::to_string(value);
    }
    log(text + "]", errorColor());
}

} // namespace quintarvel
