#include "platform/ImageData.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace quintarvel {

ImageData ImageData::copyOf(const void *bytes, std::size_t size) {
    if (size == 0)
        return {};
    std::shared_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    std::memcpy(copy.get(), bytes, size);
    return ImageData(std::move(copy), size);
}

std::optional<ImageData> ImageData::contentsOfFile(const std::string &path) {
    // Non-blocking so that opening a FIFO does not wait for a writer; it is refused below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const auto expected = static_cast<std::size_t>(st.st_size);
    if (expected == 0)
        return ImageData();
    // Left uninitialised on purpose: only the bytes actually read are ever exposed.
    std::shared_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[expected]);
    if (!buffer)
        return std::nullopt;
    std::size_t got = 0;
    while (got < expected) {
        ssize_t n = ::read(fd, buffer.get() + got, expected - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break; // the file shrank while we read it: keep what is there
        got += static_cast<std::size_t>(n);
    }
    if (got == 0)
        return ImageData();
    return ImageData(std::move(buffer), got);
}

} // namespace quintarvel
