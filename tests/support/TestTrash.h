#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quintarvel::test {

// The Trash of this test process. GLib reads XDG_DATA_HOME once, at its first use, so the
// first call points XDG_DATA_HOME at a private folder for the rest of the process (call it
// before anything moves a file to the Trash); the folder goes away at exit. Test files
// must live on the same file system (the build's temporary area) to land here.
class TestTrash {
  public:
    static TestTrash &instance();

    const std::filesystem::path &dataHome() const { return dataHome_; }
    std::filesystem::path filesFolder() const { return dataHome_ / "Trash" / "files"; }
    std::filesystem::path infoFolder() const { return dataHome_ / "Trash" / "info"; }

    // Names in Trash/files, sorted.
    std::vector<std::string> names() const;
    // The text of Trash/info/<name>.trashinfo; empty when there is none.
    std::string info(const std::string &name) const;
    // The original path a trashed file came from ("Path=" of its record, percent-decoded).
    std::string originalPath(const std::string &name) const;
    // Removes everything from the Trash.
    void empty() const;
    // Makes the Trash refuse every file, as GIO refuses one on a "system internal" mount: a
    // plain file where its folder belongs. empty() lifts it.
    void refuse() const;

  private:
    TestTrash();
    ~TestTrash();
    std::filesystem::path dataHome_;
};

} // namespace quintarvel::test
