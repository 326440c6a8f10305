#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace quintarvel::files {

// Extension (lower case, without the dot) -> MIME type: 103 fixed entries. Built once on first
// use, thread-safe, never changed or destroyed afterwards, so lookups need no lock.
const std::unordered_map<std::string, std::string> &mimeTypeTable();

// The content type for a path or file name by its last extension, "application/octet-stream"
// when it has none or the table does not list it. Never touches the file system.
//
// The extension is what follows the final "." of the last path component (trailing slashes
// ignored), compared after Unicode lower-casing: "photo.JPG" -> "image/jpeg",
// "backup.tar.gz" -> "application/octet-stream" (gz is not listed), "README" and "" -> the
// default. A leading dot marks a hidden file, not an extension: ".png" has none.
const std::string &mimeTypeByExtension(std::string_view path);

} // namespace quintarvel::files
