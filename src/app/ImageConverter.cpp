#include "app/ImageConverter.h"

#include "platform/Bundle.h"
#include "platform/Process.h"

#include <algorithm>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quintarvel {

namespace {

// The program's exit status when the converter itself refused the image or could not write
// the file; it then left the output path as the converter does.
constexpr int notConverted = 1;

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
};

std::optional<FileIdentity> regularFile(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

} // namespace

std::uint64_t ImageConverter::memoryCeilingFor(std::uint64_t physicalMemory) {
    if (physicalMemory == 0)
        return defaultMemoryCeiling;
    return std::min(defaultMemoryCeiling, physicalMemory / 4 * 3);
}

std::filesystem::path ImageConverter::defaultProgram() {
    return bundle::auxiliaryExecutablesFolder() / "quintarvel-convert";
}

bool ImageConverter::convert(const std::string &imagePath, const std::string &fitsPath) const {
    const auto before = regularFile(fitsPath);
    Process process;
    process.setLaunchPath(program);
    // Paths go as the bytes they are: no encoding is assumed on the way.
    process.setArguments({std::to_string(memoryCeiling), imagePath, fitsPath});
    if (environment)
        process.setEnvironment(*environment);
    try {
        process.launch();
    } catch (const std::system_error &) {
        return false;
    }
    if (!process.waitUntilExit(timeCeiling)) {
        process.kill();
        process.waitUntilExit();
    }
    const bool exited = process.terminationReason() == Process::TerminationReason::exit;
    if (exited && process.terminationStatus() == 0)
        return true;
    if (!exited || process.terminationStatus() != notConverted) {
        // Ended while writing, perhaps: a file cut short must not pass for a converted image.
        if (const auto after = regularFile(fitsPath); after && after != before)
            ::unlink(fitsPath.c_str());
    }
    return false;
}

} // namespace quintarvel
