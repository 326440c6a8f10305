#include "app/SolvePipeline.h"

#include "app/AppGlobals.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace quintarvel::pipeline {

std::string configurationText(const std::filesystem::path &supportFolder) {
    std::string text = "cpulimit 300\nadd_path " + supportFolder.string() + "\n";
    // The keys in descending order are the order the table is built in, from the widest
    // quads to the narrowest: the engine tries the index files in the order listed, and the
    // wide ones are small and quick to rule out. The hash map's own order would make the
    // solving time depend on the standard library.
    std::vector<const std::string *> keys;
    for (const auto &entry : indexFileTable())
        keys.push_back(&entry.first);
    std::sort(keys.begin(), keys.end(), [](auto a, auto b) { return *a > *b; });
    for (const auto *key : keys)
        for (const auto &name : indexFileTable().at(*key)) {
            std::error_code ec;
            if (std::filesystem::exists(supportFolder / name, ec))
                text += "index " + name + "\n";
        }
    return text;
}

bool isFITSPath(std::string_view imagePath) {
    return imagePath.ends_with(".fit") || imagePath.ends_with(".fits");
}

std::string imagePathHash(std::string_view imagePath) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : imagePath) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return std::to_string(static_cast<std::int64_t>(hash));
}

WorkingNames WorkingNames::forImage(const std::string &temporaryFolder,
                                    std::string_view imagePath) {
    return WorkingNames{temporaryFolder + imagePathHash(imagePath)};
}

std::vector<std::filesystem::path> WorkingNames::createdFiles(bool converted) const {
    std::vector<std::filesystem::path> files{
        starList(),      solution(),     augmentedStarList(), base + ".corr",
        base + ".match", base + ".rdls", base + ".solved",    base + "-indx.xyls"};
    if (converted)
        files.emplace_back(convertedImage());
    return files;
}

Arguments image2xyArguments(const Arguments &options, const WorkingNames &names,
                            const std::string &fitsPath) {
    Arguments arguments{"-O"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {"-o", names.starList(), fitsPath});
    return arguments;
}

Arguments solveFieldArguments(const Arguments &options, const WorkingNames &names,
                              const std::filesystem::path &configurationFile) {
    Arguments arguments{
        "--overwrite",   "--no-plots", "--no-remove-lines", "--no-verify-uniformize",
        "--sort-column", "FLUX",       "--uniformize",      "0"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {"--axy", names.augmentedStarList(), "--config",
                                       configurationFile.string(), names.starList()});
    return arguments;
}

Arguments newWcsArguments(const std::string &fitsPath, const std::string &outputPath,
                          const WorkingNames &names) {
    return {"-d", "-i", fitsPath, "-o", outputPath, "-w", names.solution()};
}

std::string doneMessage(double seconds) {
    // std::round rounds halves away from zero; fixed shortest form never uses an exponent.
    const double rounded = std::round(seconds * 100) / 100;
    char digits[400];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, rounded, std::chars_format::fixed).ptr;
    std::string text(digits, end);
    if (text.find('.') == std::string::npos)
        text += ".0";
    return "\nDone in " + text + " seconds";
}

} // namespace quintarvel::pipeline
