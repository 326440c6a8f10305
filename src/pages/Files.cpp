#include "pages/Files.h"

#include "http/UnicodeText.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace quintarvel::files {

std::string pathDelimiter = "/";

std::FILE *fopenPath(const std::string &path, const std::string &mode) {
    return std::fopen(path.c_str(), mode.c_str());
}

std::shared_ptr<File> openWithMode(const std::string &path, const std::string &mode) {
    std::FILE *stream = fopenPath(path, mode);
    if (stream == nullptr) {
        throw FileError(errno);
    }
    return std::make_shared<File>(stream);
}

std::shared_ptr<File> openReading(const std::string &path) {
    return openWithMode(path, "rb");
}

std::shared_ptr<File> openWriting(const std::string &path) {
    return openWithMode(path, "wb");
}

std::shared_ptr<File> openReadWrite(const std::string &path) {
    return openWithMode(path, "r+b");
}

std::optional<struct stat> statRecord(const std::string &path) {
    struct stat record {};
    if (::stat(path.c_str(), &record) == 0) {
        return record;
    }
    if (errno == ENOENT) {
        return std::nullopt;
    }
    throw FileError(errno);
}

bool pathExists(const std::string &path) {
    return statPath(path,
                    [](const std::optional<struct stat> &record) { return record.has_value(); });
}

bool isDirectoryPath(const std::string &path) {
    return statPath(path, [](const std::optional<struct stat> &record) {
        return record && (record->st_mode & S_IFMT) == S_IFDIR;
    });
}

std::vector<std::string> directoryEntries(const std::string &path) {
    DIR *folder = ::opendir(path.c_str());
    if (folder == nullptr) {
        throw FileError(errno);
    }
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(folder)) {
        const std::string name(entry->d_name, ::strnlen(entry->d_name, sizeof entry->d_name));
        if (text::isValidUtf8(name)) {
            names.push_back(name);
        }
    }
    ::closedir(folder);
    return names;
}

std::string workingDirectory() {
    // getcwd allocates the buffer with malloc; it is freed even if the copy throws.
    const std::unique_ptr<char, decltype(&std::free)> buffer(::getcwd(nullptr, 0), &std::free);
    if (!buffer) {
        throw FileError(errno);
    }
    return std::string(buffer.get());
}

} // namespace quintarvel::files
