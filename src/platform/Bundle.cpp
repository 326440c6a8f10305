#include "platform/Bundle.h"

#include "platform/BuildInfo.h"

#include <system_error>

namespace quintarvel::bundle {

std::optional<std::string> infoDictionaryValue(const std::string &key) {
    if (key == "CFBundleShortVersionString")
        return std::string(build::shortVersion);
    if (key == "CFBundleVersion")
        return std::string(build::buildNumber);
    return std::nullopt;
}

std::filesystem::path executableFolder() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
}

} // namespace quintarvel::bundle

namespace quintarvel::bundle {

std::filesystem::path auxiliaryExecutablesFolder() {
    return (executableFolder() / ".." / "libexec" / "quintarvel").lexically_normal();
}

} // namespace quintarvel::bundle
