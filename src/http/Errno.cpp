#include "http/Errno.h"

#include <cerrno>
#include <cstring>

namespace quintarvel {

std::string Errno::currentMessage() {
    const int code = errno;
    char buffer[256];
    // GNU strerror_r: returns either the buffer or a static text.
    const char *message = ::strerror_r(code, buffer, sizeof buffer);
    errno = code;
    return message;
}

} // namespace quintarvel
