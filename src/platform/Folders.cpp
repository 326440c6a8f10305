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

[[noreturn]] void throwError(const char *what, const std::filesystem::path &folder, int error) {
    throw std::filesystem::filesystem_error(what, folder,
                                            std::error_code(error, std::generic_category()));
}

constexpr mode_t permissionBits = 07777;
constexpr mode_t groupAndOtherBits = 077;

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

FolderPrivacy makePrivate(const std::filesystem::path &folder) {
    using State = FolderPrivacy::State;
    std::filesystem::create_directories(folder.parent_path());
    const bool made = ::mkdir(folder.c_str(), 0700) == 0;
    if (!made && errno != EEXIST)
        throwError("cannot make folder", folder, errno);
    struct stat link {};
    if (::lstat(folder.c_str(), &link) != 0)
        throwError("cannot read folder", folder, errno);
    // Only we or root can have put a link into our own data folder; anyone else's could be
    // turned elsewhere after it has been checked.
    if (S_ISLNK(link.st_mode) && link.st_uid != ::geteuid() && link.st_uid != 0)
        return {State::notOurs, 0, 0, {}};
    struct stat found {};
    if (::stat(folder.c_str(), &found) != 0)
        throwError("cannot read folder", folder, errno);
    if (!S_ISDIR(found.st_mode))
        throwError("cannot make folder", folder, ENOTDIR);
    const mode_t old = found.st_mode & permissionBits;
    if (found.st_uid != ::geteuid())
        return {State::notOurs, old, old, {}};

    // A new folder has exactly 0700, whatever the umask took from it; an old one keeps the
    // owner bits and any special bits it was given.
    const mode_t wanted = made ? 0700 : old & ~groupAndOtherBits;
    if (old == wanted)
        return {made ? State::made : State::kept, old, old, {}};
    const int refused = ::chmod(folder.c_str(), wanted) == 0 ? 0 : errno;
    // Checked again, on the same folder: some file systems take a mode change without error
    // and without effect.
    struct stat now {};
    if (::stat(folder.c_str(), &now) == 0 && now.st_dev == found.st_dev &&
        now.st_ino == found.st_ino && now.st_uid == found.st_uid &&
        (now.st_mode & groupAndOtherBits) == 0)
        return {made ? State::made : State::narrowed, old, now.st_mode & permissionBits, {}};
    return {State::stillOpen, old, old,
            std::error_code(refused ? refused : EPERM, std::generic_category())};
}

} // namespace quintarvel::folders
