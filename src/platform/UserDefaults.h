#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace quintarvel {

// The user's defaults: a JSON object in a small file, read once when the object is made and
// written whole, atomically, on every change, so a crash never leaves half a file. Keys this
// program does not know are kept as they are. Thread-safe.
class UserDefaults {
  public:
    // $XDG_CONFIG_HOME/Quintarvel/defaults.json (~/.config when the variable is unset), made
    // on first use. Without a configuration folder the defaults live in memory only.
    static std::shared_ptr<UserDefaults> standard();

    // Reads `file` when it exists. A file that is no JSON object is reported to the system
    // log and read as empty; the next change replaces it. No file: memory only.
    explicit UserDefaults(std::optional<std::filesystem::path> file);

    const std::optional<std::filesystem::path> &file() const { return file_; }

    // True for a stored true and for a non-zero number; false for anything else, a key
    // never stored included.
    bool boolForKey(const std::string &key) const;
    // Stores the value and writes the file (its folder is made when missing). The value is
    // kept in memory even when the file cannot be written; that goes to the system log and
    // gives false.
    bool setBool(bool value, const std::string &key);

  private:
    bool write();

    const std::optional<std::filesystem::path> file_;
    mutable std::mutex mutex_; // guards values_
    nlohmann::json values_ = nlohmann::json::object();
};

} // namespace quintarvel
