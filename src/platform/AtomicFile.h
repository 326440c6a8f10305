#pragma once

#include <filesystem>
#include <string_view>

namespace quintarvel {

// Replaces the file at `path` with `bytes` in one step: the bytes go to a fresh file beside it,
// which is flushed and then renamed over the destination, so a reader sees the old file or
// the new one, never a part. The new file gets mode 0644. False, with the
// destination untouched and no stray file left, when any step fails.
bool writeFileAtomically(const std::filesystem::path &path, std::string_view bytes);

} // namespace quintarvel
