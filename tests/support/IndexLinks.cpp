#include "support/IndexLinks.h"

#include "support/StarField.h"

#include <stdexcept>

namespace quintarvel::test {

std::vector<std::string> linkTycho2IndexFiles(const std::filesystem::path &folder, int first,
                                              int last) {
    std::vector<std::string> names;
    for (int number = first; number <= last; ++number) {
        const std::string name = "index-41" + std::to_string(number) + ".fits";
        std::error_code ec;
        std::filesystem::create_symlink(tycho2IndexFile(number), folder / name, ec);
        if (ec)
            throw std::runtime_error("cannot link " + name + ": " + ec.message());
        names.push_back(name);
    }
    return names;
}

} // namespace quintarvel::test
