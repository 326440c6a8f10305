#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quintarvel::bundle {

// The information dictionary of the application: "CFBundleShortVersionString" and
// "CFBundleVersion" are compiled in from the build. Nothing for any other key.
std::optional<std::string> infoDictionaryValue(const std::string &key);

// The folder of the running program's executable.
std::filesystem::path executableFolder();

} // namespace quintarvel::bundle

namespace quintarvel::bundle {

// <executable folder>/../libexec/quintarvel: links to every program of the engine suite.
std::filesystem::path auxiliaryExecutablesFolder();

} // namespace quintarvel::bundle
