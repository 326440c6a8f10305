#include "support/TestTrash.h"

#include "support/TempDir.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace quintarvel::test {

TestTrash &TestTrash::instance() {
    static TestTrash trash;
    return trash;
}

TestTrash::TestTrash() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quintarvel-trash-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder for the test Trash");
    dataHome_ = pattern;
    setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
}

TestTrash::~TestTrash() {
    std::error_code ec;
    std::filesystem::remove_all(dataHome_, ec);
}

std::vector<std::string> TestTrash::names() const {
    std::vector<std::string> result;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(filesFolder(), ec))
        result.push_back(entry.path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
}

std::string TestTrash::info(const std::string &name) const {
    return readFile(infoFolder() / (name + ".trashinfo"));
}

std::string TestTrash::originalPath(const std::string &name) const {
    std::istringstream lines(info(name));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Path=", 0) != 0)
            continue;
        std::string path;
        for (std::size_t i = 5; i < line.size(); ++i) {
            if (line[i] == '%' && i + 2 < line.size()) {
                path.push_back(static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)));
                i += 2;
            } else {
                path.push_back(line[i]);
            }
        }
        return path;
    }
    return {};
}

void TestTrash::empty() const {
    std::error_code ec;
    std::filesystem::remove_all(dataHome_ / "Trash", ec);
}

void TestTrash::refuse() const {
    empty();
    writeFile(dataHome_ / "Trash", "not a folder");
}

} // namespace quintarvel::test
