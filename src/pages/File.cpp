#include "pages/File.h"

#include "pages/FileError.h"

#include <cerrno>
#include <stdexcept>

namespace quintarvel {

File::File(std::FILE *stream) : pointer(stream) {
    if (stream == nullptr) {
        throw std::invalid_argument("File needs an open stream");
    }
}

int File::close() {
    return std::fclose(pointer);
}

bool File::seek(std::int64_t offset) {
    return fseeko(pointer, offset, SEEK_SET) == 0;
}

std::size_t File::read(std::vector<std::uint8_t> &buffer) {
    if (buffer.empty()) {
        return 0;
    }
    const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), pointer);
    if (count == buffer.size() || std::feof(pointer)) {
        return count;
    }
    throw FileError(std::ferror(pointer) ? errno : 0);
}

void File::write(const std::vector<std::uint8_t> &bytes) {
    if (bytes.empty()) {
        return;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), pointer) != bytes.size()) {
        throw FileError(errno);
    }
}

} // namespace quintarvel
