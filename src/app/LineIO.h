#pragma once

#include "platform/FileHandle.h"

#include <optional>
#include <string>
#include <string_view>

namespace quintarvel {

// Text lines over file handles: UTF-8 ended by one line feed (0x0A), nothing else.

// The one byte "\n".
const std::string &newlineData();

// The next line without its line feed (a carriage return stays). Reads one byte at a time,
// so nothing after the line feed is taken from the handle. Nothing at the end of input
// (or a read error), and nothing for a line that is not valid UTF-8; that line is consumed.
std::optional<std::string> readLine(FileHandle &handle);

// Writes the text, then the line feed (two writes), then flushes. A failed write (a reader
// that went away) is ignored.
void writeLine(FileHandle &handle, std::string_view text);

} // namespace quintarvel
