#include "platform/Pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace quintarvel {

Pipe::Pipe() : Pipe(open()) {}

Pipe::Pipe(Ends ends) : reading_(ends.reading), writing_(ends.writing) {}

Pipe::Ends Pipe::open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    return Ends{fds[0], fds[1]};
}

} // namespace quintarvel
