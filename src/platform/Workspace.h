#pragma once

#include <cstddef>
#include <filesystem>
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

} // namespace quintarvel::workspace
