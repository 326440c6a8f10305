#pragma once

#include <filesystem>
#include <string>

namespace quintarvel::test {

// A fresh folder under the build's temporary area, removed with everything in it when the
// object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Writes bytes to a file, replacing it.
void writeFile(const std::filesystem::path &path, const std::string &bytes);
// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path &path);

} // namespace quintarvel::test
