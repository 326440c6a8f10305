#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <system_error>

namespace quintarvel::folders {

// Freedesktop stand-ins for the platform's well-known folders. Each gives nothing when the
// folder cannot be had (no HOME and no XDG variable, or an unusable folder).

// $XDG_DATA_HOME, else ~/.local/share: the user's Application Support folder.
std::optional<std::filesystem::path> applicationSupport();

// The container folder of an application group: <Application Support>/<group>.
std::optional<std::filesystem::path> groupContainer(const std::string &group);

// $XDG_CONFIG_HOME, else ~/.config.
std::optional<std::filesystem::path> configHome();

// $TMPDIR when set, else /tmp/quintarvel-<uid>: a private folder (mode 0700, owned by us,
// checked, never a link) so that no other user can plant files under our working names.
// The text ends in "/". Nothing when the folder is unsafe or cannot be made.
std::optional<std::string> temporaryDirectory();

// The private folder check of `temporaryDirectory`, for a folder path of the caller's.
std::optional<std::string> privateFolder(const std::string &folder);

// What `makePrivate` found and left.
struct FolderPrivacy {
    enum class State {
        made,      // made now, mode 0700
        kept,      // ours and closed to group and others already: left as it is
        narrowed,  // ours but open to group or others: those permission bits are cleared
        notOurs,   // the folder, or the link to it, belongs to another user
        stillOpen, // ours, open to group or others, and its mode cannot be narrowed (`error`)
    };
    State state;
    mode_t oldMode = 0; // permission bits found (narrowed, stillOpen)
    mode_t mode = 0;    // permission bits now
    std::error_code error;
};

// Makes `folder` a folder that only its owner, this user, may enter, for a folder whose
// contents rely on that (the group container): a missing one is made with mode 0700 whatever
// the umask, its missing parents as create_directories makes them; an existing one keeps its
// owner bits and loses every group and other bit. A link is followed, as the user may have
// moved the folder elsewhere, unless the link is neither ours nor root's; the folder it leads
// to is the one checked and narrowed. Throws std::filesystem::filesystem_error when there is
// no folder there and none can be made (a file in its place, a broken link, no permission).
FolderPrivacy makePrivate(const std::filesystem::path &folder);

} // namespace quintarvel::folders
