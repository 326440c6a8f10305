#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quintarvel::workspace {

// Moves the files to the user's freedesktop.org Trash through GIO, in the given order: the
// home Trash ($XDG_DATA_HOME/Trash, with a .trashinfo record each) for files on its file
// system, the Trash of the file's own mount otherwise. A link is moved, never its target.
// Paths with no file are skipped without a word; a file that cannot be moved stays where it
// is and goes to the system log. Gives the number of files moved. Blocks the calling thread
// for the file-system work; callable from any thread.
//
// GLib reads XDG_DATA_HOME once per process, at the first use.
std::size_t recycle(const std::vector<std::filesystem::path> &paths);

// As recycle, for the program's own working files only (never a user's file): a file the Trash
// refuses (GIO refuses "system internal" mounts such as a tmpfs /tmp) is deleted instead,
// without a log line of its own. Gives the Trash's reason when it deleted any file, so the
// caller can say so in one line; none when every file was moved or missing. A file that can be
// neither moved nor deleted stays and goes to the system log.
std::optional<std::string> recycleOrDelete(const std::vector<std::filesystem::path> &paths);

// Opens the address in the user's default application for it (the browser for a web
// address) through GIO, which asks the desktop's handler as xdg-open does. False, with a line
// in the system log, when nothing could be started.
bool openURL(const std::string &url);

} // namespace quintarvel::workspace
