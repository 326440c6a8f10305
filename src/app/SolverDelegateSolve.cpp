// The solve pipeline: SolverDelegate::solveImage and SolverDelegate::processImage.
#include "app/SolverDelegate.h"

#include "app/ImageConverter.h"
#include "app/SolvePipeline.h"
#include "platform/AtomicFile.h"
#include "platform/Dispatch.h"
#include "platform/SystemLog.h"
#include "platform/Utf8.h"
#include "platform/Workspace.h"

#include <chrono>
#include <exception>

namespace quintarvel {
namespace {

// The converter reports failure by its result; anything it throws counts the same.
bool convertSafely(const std::string &imagePath, const std::string &fitsPath) {
    try {
        return ImageConverter{}.convert(imagePath, fitsPath);
    } catch (...) {
        return false;
    }
}

} // namespace

void SolverDelegate::solveImage(const std::string &imagePath, std::optional<std::string> outputPath,
                                std::optional<std::vector<std::string>> image2xyOptions,
                                std::optional<std::vector<std::string>> solveFieldOptions) {
    globalQueue(DispatchPriority::defaultPriority)
        .async([self = shared_from_this(), imagePath, outputPath = std::move(outputPath),
                image2xyOptions = std::move(image2xyOptions),
                solveFieldOptions = std::move(solveFieldOptions)] {
            // Whatever goes wrong, the request that claimed the solver ends here.
            try {
                self->processImage(imagePath, outputPath, image2xyOptions, solveFieldOptions);
            } catch (const std::exception &error) {
                self->failed(std::string("\nFailed to solve file: ") + error.what());
            } catch (...) {
                self->failed("\nFailed to solve file: unknown error");
            }
        });
}

void SolverDelegate::processImage(
    const std::string &imagePath, const std::optional<std::string> &outputPath,
    const std::optional<std::vector<std::string>> &image2xyOptions,
    const std::optional<std::vector<std::string>> &solveFieldOptions) {
    busy();

    // The engine reads the file as UTF-8; a folder name that is not UTF-8 has no place in it.
    const std::string configuration = pipeline::configurationText(paths_.supportFolder);
    if (!isValidUtf8(configuration)) {
        failed("\nFailed to create configuration file: the support folder's path " +
               validUtf8(paths_.supportFolder.string()) + " is not valid UTF-8");
        return;
    }
    if (!writeFileAtomically(paths_.configurationFile, configuration)) {
        failed("\nFailed to create configuration file");
        return;
    }

    const auto names = pipeline::WorkingNames::forImage(paths_.temporaryFolder, imagePath);
    const auto start = std::chrono::steady_clock::now();

    std::string fitsPath = imagePath;
    const bool converted = !pipeline::isFITSPath(imagePath);
    if (converted) {
        fitsPath = names.convertedImage();
        busy("\nConverting " + imagePath + " to " + fitsPath + "...");
        if (!convertSafely(imagePath, fitsPath)) {
            failed("\nFailed to convert " + imagePath + " to FITS");
            return;
        }
    }

    bool solved = false;
    try {
        run("image2xy", pipeline::image2xyArguments(image2xyOptions.value_or(pipeline::Arguments{}),
                                                    names, fitsPath));
        run("solve-field",
            pipeline::solveFieldArguments(solveFieldOptions.value_or(pipeline::Arguments{}), names,
                                          paths_.configurationFile));
        std::error_code ec;
        if (std::filesystem::exists(names.solution(), ec)) {
            if (outputPath)
                run("new-wcs", pipeline::newWcsArguments(fitsPath, *outputPath, names));
            setRaCenter(std::nullopt);
            setDecCenter(std::nullopt);
            setOrientation(std::nullopt);
            setPixelScale(std::nullopt);
            setParity(std::nullopt);
            run("wcsinfo", {names.solution()});
            solved = true;
        }
    } catch (...) {
        // The runner has logged the program's own red line.
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    // The check box belongs to the main thread; ask it and wait for the answer.
    const int removeFiles = mainQueue().syncResult([self = shared_from_this()] {
        return self->removeFilesButton_ ? self->removeFilesButton_->state() : CheckBox::off;
    });
    // They are the solve's own files: where the Trash refuses them, they are deleted.
    if (removeFiles == CheckBox::on)
        if (auto reason = workspace::recycleOrDelete(names.createdFiles(converted)))
            systemLog("Working files " + names.base +
                      ".* deleted, not moved to the Trash: " + *reason);

    // The end comes after the clean-up: a request that starts the moment it reads "done" may
    // use the same working names, and must not have its fresh files removed.
    if (solved)
        done(pipeline::doneMessage(elapsed.count()));
    else
        failed("\nFailed to solve file");
}

} // namespace quintarvel
