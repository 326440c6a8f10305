#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The pieces of the solve pipeline that need no engine: the engine configuration text, the
// working names of a solve, the engine command lines and the "Done in" message.
namespace quintarvel::pipeline {

// "cpulimit 300", "add_path " + the support folder, then "index " + name for every file of
// the index file table that exists in the support folder (links followed): keys in the
// order the table is built in (index-4219.fits … index-4200-*.fits, index-4119.fits …
// index-4107.fits, which is their descending text order), names in their listed order.
// Every line ends in a line feed. The engine reads the file as UTF-8, as it reads its paths.
std::string configurationText(const std::filesystem::path &supportFolder);

// The image is solved as it is when its path ends in ".fit" or ".fits" (those letters
// exactly); anything else is converted first.
bool isFITSPath(std::string_view imagePath);

// The hash that names the working files of an image: 64-bit FNV-1a over the bytes of the
// path (offset basis 14695981039346656037, prime 1099511628211), read as a two's complement
// signed number and written in decimal, "-" first when negative. The same path gives the
// same name in every run and every build.
std::string imagePathHash(std::string_view imagePath);

// The working files of one solve: the temporary folder (ending in "/") followed directly by
// the hash of the image path, plus a suffix each.
struct WorkingNames {
    std::string base;

    static WorkingNames forImage(const std::string &temporaryFolder, std::string_view imagePath);

    std::string convertedImage() const { return base + ".fits"; }
    std::string starList() const { return base + ".xy"; }
    std::string augmentedStarList() const { return base + ".axy"; }
    std::string solution() const { return base + ".wcs"; }
    // What the clean-up moves to the Trash, in its order; the converted image last, and
    // only when there is one.
    std::vector<std::filesystem::path> createdFiles(bool converted) const;
};

using Arguments = std::vector<std::string>;

Arguments image2xyArguments(const Arguments &options, const WorkingNames &names,
                            const std::string &fitsPath);
Arguments solveFieldArguments(const Arguments &options, const WorkingNames &names,
                              const std::filesystem::path &configurationFile);
Arguments newWcsArguments(const std::string &fitsPath, const std::string &outputPath,
                          const WorkingNames &names);

// "\nDone in S seconds": S rounded to hundredths, halves away from zero, in the shortest
// decimal that reads back as the same number, with at least one digit after the point
// (12.35, 5.0, 0.1, 0.0).
std::string doneMessage(double seconds);

} // namespace quintarvel::pipeline
