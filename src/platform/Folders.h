#pragma once

#include <filesystem>
#include <optional>
#include <string>

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

} // namespace quintarvel::folders
