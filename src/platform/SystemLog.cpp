#include "platform/SystemLog.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <syslog.h>

namespace quintarvel {

void systemLog(std::string_view text) {
    const std::string line(text);
    syslog(LOG_NOTICE, "%s", line.c_str());
    std::fprintf(stderr, "%s\n", line.c_str());
}

void fatalError(std::string_view text) {
    systemLog(text);
    std::exit(EXIT_FAILURE);
}

} // namespace quintarvel
