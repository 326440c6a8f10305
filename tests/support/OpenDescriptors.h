#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quintarvel::test {

// The process's open descriptors, each with what it refers to ("socket:[inode]", a path), so
// that a number reused for something new does not pass for the old descriptor. The listing's
// own descriptor is left out.
inline std::map<int, std::string> openDescriptorTargets() {
    std::map<int, std::string> found;
    const std::filesystem::path listing = std::filesystem::canonical("/proc/self/fd");
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (ec || target == listing)
            continue;
        found.emplace(std::stoi(entry.path().filename().string()), target.string());
    }
    return found;
}

// The descriptors open now that were not open at `before` ("<number> <target>"). Descriptors
// closed meanwhile are not counted: a stopped server's threads let go of their last
// descriptors shortly after stop returns, and may do so while a later test runs.
inline std::vector<std::string> descriptorsOpenedSince(const std::map<int, std::string> &before) {
    std::vector<std::string> opened;
    for (const auto &[number, target] : openDescriptorTargets()) {
        const auto it = before.find(number);
        if (it == before.end() || it->second != target)
            opened.push_back(std::to_string(number) + " " + target);
    }
    return opened;
}

} // namespace quintarvel::test
