#include "platform/Folders.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace quintarvel::folders {
namespace {

std::optional<std::filesystem::path> xdgFolder(const char *variable, const char *fallback) {
    const char *value = std::getenv(variable);
    if (value && value[0] == '/')
        return std::filesystem::path(value);
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/')
        return std::nullopt;
    return std::filesystem::path(home) / fallback;
}

} // namespace

std::optional<std::filesystem::path> applicationSupport() {
    return xdgFolder("XDG_DATA_HOME", ".local/share");
}

std::optional<std::filesystem::path> groupContainer(const std::string &group) {
    auto support = applicationSupport();
    if (!support)
        return std::nullopt;
    return *support / group;
}

std::optional<std::filesystem::path> configHome() {
    return xdgFolder("XDG_CONFIG_HOME", ".config");
}

std::optional<std::string> temporaryDirectory() {
    if (const char *tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') {
        std::string folder = tmp;
        if (folder.back() != '/')
            folder += '/';
        return folder;
    }
    return privateFolder("/tmp/quintarvel-" + std::to_string(getuid()));
}

std::optional<std::string> privateFolder(const std::string &folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    struct stat info {};
    // lstat: a link planted under our name by someone else must not be followed.
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
        (info.st_mode & 077) != 0)
        return std::nullopt;
    return folder + "/";
}

} // namespace quintarvel::folders
