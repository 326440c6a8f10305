#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quintarvel::test {

// Gives a support folder the Debian Tycho-2 index files under the names the application
// expects: index-tycho2-NN.littleendian.fits linked as index-41NN.fits, NN from `first` to
// `last` (10…19). Gives the names linked; throws std::runtime_error when a link cannot be
// made.
std::vector<std::string> linkTycho2IndexFiles(const std::filesystem::path &folder, int first = 10,
                                              int last = 19);

} // namespace quintarvel::test
