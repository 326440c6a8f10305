#pragma once

#include "pages/File.h"
#include "pages/FileError.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

// Path operations of the file-serving pages. Each takes the path as UTF-8 text and reports a
// failure as FileError with the errno of the failed call; nothing is retried or logged.
namespace quintarvel::files {

// Put between a folder path and a name by the file handlers. A plain process-wide variable:
// set it before handlers run, never while they run.
extern std::string pathDelimiter;

// fopen with the given mode, wrapped in a new File; a null stream throws FileError(errno).
std::shared_ptr<File> openWithMode(const std::string &path, const std::string &mode);
// openWithMode with "rb", "wb" (creates or truncates) and "r+b".
std::shared_ptr<File> openReading(const std::string &path);
std::shared_ptr<File> openWriting(const std::string &path);
std::shared_ptr<File> openReadWrite(const std::string &path);
// The raw stream, or null with errno holding the reason. Never throws.
std::FILE *fopenPath(const std::string &path, const std::string &mode);

// stat (following links): the record, or no value when the path does not exist (ENOENT).
// Every other failure throws FileError(errno).
std::optional<struct stat> statRecord(const std::string &path);

// Calls `answer` with the optional status record of the path and returns its result; throws
// as statRecord does, without calling `answer`.
template <class Answer> auto statPath(const std::string &path, Answer &&answer) {
    const std::optional<struct stat> record = statRecord(path);
    return answer(record);
}

// False for a missing path; a path through a regular file (ENOTDIR) or an unreadable folder
// throws instead.
bool pathExists(const std::string &path);
// Whether the path, links followed, is a folder; false when it is missing.
bool isDirectoryPath(const std::string &path);

// The names of a folder in the order the system gives them, "." and ".." included; names that
// are not valid UTF-8 are left out. Only a failing opendir throws; a failing readdir ends the
// list early.
std::vector<std::string> directoryEntries(const std::string &path);

// The process's current directory.
std::string workingDirectory();

} // namespace quintarvel::files
