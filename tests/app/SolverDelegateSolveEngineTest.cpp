#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/SolvePipeline.h"
#include "platform/Process.h"
#include "support/IndexLinks.h"
#include "support/PipelineRun.h"
#include "support/SolverFixture.h"
#include "support/StarField.h"
#include "support/TestTrash.h"

#include <gtest/gtest.h>

#include <fitsio.h>

#include <cmath>
#include <numbers>
#include <random>

namespace quintarvel {
namespace {

// A field the engine solves in about a second with the Tycho-2 index files: 1000 × 800
// pixels of 30" around RA 160°, Dec +1°, turned by 30°. Near the equator the orientation
// does not depend on where in the field the engine puts its reference point.
constexpr double chosenRa = 160, chosenDec = 1, chosenScale = 30, chosenRotation = 30;

struct GeneratedImages {
    test::TempDir dir;
    std::string fits = (dir / "field.fits").string();
    std::string png = (dir / "field.png").string();
    std::string jpeg = (dir / "field.jpg").string();
    std::string floatTiff = (dir / "field.tif").string();
    std::string unsolvable = (dir / "random.fits").string();

    GeneratedImages() {
        std::vector<std::filesystem::path> indexFiles;
        for (int n = 10; n <= 19; ++n)
            indexFiles.push_back(test::tycho2IndexFile(n));
        const auto stars = test::catalogStars(chosenRa, chosenDec, 6, indexFiles,
                                              QUINTARVEL_LIBEXEC_DIR "/query-starkd");
        const test::StarFieldOptions options{.raCenter = chosenRa,
                                             .decCenter = chosenDec,
                                             .pixelScale = chosenScale,
                                             .rotation = chosenRotation};
        const test::StarField field(options, stars);
        field.writeFITS(fits);
        field.writePNG(png);
        field.writeJPEG(jpeg);
        field.writeFloatTIFF(floatTiff);

        // Stars where the sky has none: the engine searches until it is stopped.
        std::mt19937 random(7);
        std::uniform_real_distribution<double> ra(chosenRa - 4, chosenRa + 4);
        std::uniform_real_distribution<double> dec(chosenDec - 3, chosenDec + 3);
        std::uniform_real_distribution<double> magnitude(5, 11);
        std::vector<test::Star> fake(500);
        for (auto &star : fake)
            star = {ra(random), dec(random), magnitude(random)};
        test::StarField(options, fake).writeFITS(unsolvable);
    }
};

const GeneratedImages &images() {
    static const GeneratedImages generated;
    return generated;
}

// The sky position of FITS pixel (x, y) through the gnomonic projection of the header's
// linear WCS keys, after checking the header gives the picture's size.
std::pair<double, double> skyAt(const std::string &path, double x, double y) {
    fitsfile *file = nullptr;
    int status = 0;
    double crval1 = 0, crval2 = 0, crpix1 = 0, crpix2 = 0, cd11 = 0, cd12 = 0, cd21 = 0, cd22 = 0;
    long width = 0, height = 0;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    const std::pair<const char *, double *> keys[] = {
        {"CRVAL1", &crval1}, {"CRVAL2", &crval2}, {"CRPIX1", &crpix1}, {"CRPIX2", &crpix2},
        {"CD1_1", &cd11},    {"CD1_2", &cd12},    {"CD2_1", &cd21},    {"CD2_2", &cd22}};
    for (const auto &[name, value] : keys)
        fits_read_key(file, TDOUBLE, name, value, nullptr, &status);
    fits_read_key(file, TLONG, "NAXIS1", &width, nullptr, &status);
    fits_read_key(file, TLONG, "NAXIS2", &height, nullptr, &status);
    int closeStatus = 0;
    if (file)
        fits_close_file(file, &closeStatus);
    EXPECT_EQ(status, 0) << "reading the WCS of " << path;
    EXPECT_EQ(width, 1000);
    EXPECT_EQ(height, 800);
    constexpr double degree = std::numbers::pi / 180;
    const double xi = (cd11 * (x - crpix1) + cd12 * (y - crpix2)) * degree;
    const double eta = (cd21 * (x - crpix1) + cd22 * (y - crpix2)) * degree;
    const double dec0 = crval2 * degree;
    const double d = std::cos(dec0) - eta * std::sin(dec0);
    return {crval1 + std::atan2(xi, d) / degree,
            std::atan2(std::sin(dec0) + eta * std::cos(dec0), std::sqrt(xi * xi + d * d)) / degree};
}

class SolverDelegateSolveEngineTest : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegateSolveEngineTest() {
        trash.empty();
        indexFiles = test::linkTycho2IndexFiles(solver->paths().supportFolder);
    }
    ~SolverDelegateSolveEngineTest() override { trash.empty(); }

    bool logged(const std::string &line) const {
        return logView->text().find(line + "\n") != std::string::npos;
    }
    bool loggedGreenLineStarting(const std::string &prefix) const {
        for (const auto &[line, color] : logView->lines)
            if (line.rfind(prefix, 0) == 0 && color == successColor())
                return true;
        return false;
    }

    // Solves with the box on and checks the results, the log, the configuration file and the
    // Trash.
    void solveTheField(const std::string &image,
                       const std::optional<std::string> &output = std::nullopt) {
        removeFiles->setState(CheckBox::on);
        test::processAndDrain(solver, image, output);
        ASSERT_EQ(solver->status(), "done") << logView->text();
        ASSERT_TRUE(solver->raCenter() && solver->decCenter() && solver->pixelScale() &&
                    solver->orientation() && solver->parity());
        EXPECT_NEAR(*solver->raCenter(), chosenRa, 0.01);
        EXPECT_NEAR(*solver->decCenter(), chosenDec, 0.01);
        EXPECT_NEAR(*solver->pixelScale(), chosenScale, chosenScale * 0.01);
        EXPECT_NEAR(*solver->orientation(), chosenRotation, 0.5);

        const auto b = pipeline::WorkingNames::forImage(solver->paths().temporaryFolder, image);
        const bool converted = !image.ends_with(".fits");
        const std::string fitsPath = converted ? b.convertedImage() : image;
        if (converted) {
            EXPECT_TRUE(logged("\nConverting " + image + " to " + fitsPath + "..."));
        }
        EXPECT_TRUE(logged("\nimage2xy -O -o " + b.starList() + " " + fitsPath));
        EXPECT_TRUE(logged("\nwcsinfo " + b.solution()));
        EXPECT_TRUE(loggedGreenLineStarting("Field center: (RA,Dec) = ("));
        for (const char *result :
             {"ra_center ", "dec_center ", "orientation ", "pixscale ", "parity "})
            EXPECT_TRUE(loggedGreenLineStarting(result)) << result;
        const auto &last = logView->lines.back();
        EXPECT_EQ(last.first.rfind("\nDone in ", 0), 0u) << last.first;
        EXPECT_TRUE(last.first.ends_with(" seconds\n"));
        EXPECT_EQ(last.second, successColor());

        // The configuration file lists exactly the linked index files, widest quads first.
        std::string expected =
            "cpulimit 300\nadd_path " + solver->paths().supportFolder.string() + "\n";
        for (int n = 19; n >= 10; --n)
            expected += "index index-41" + std::to_string(n) + ".fits\n";
        EXPECT_EQ(test::readFile(solver->paths().configurationFile), expected);

        // Every working file, and the converted image, went to the Trash; the image stays.
        std::vector<std::string> trashed;
        for (const auto &file : b.createdFiles(converted)) {
            trashed.push_back(file.filename().string());
            EXPECT_FALSE(std::filesystem::exists(file)) << file;
            EXPECT_EQ(trash.originalPath(trashed.back()), file.string()) << "no record";
        }
        std::sort(trashed.begin(), trashed.end());
        EXPECT_EQ(trash.names(), trashed);
        EXPECT_TRUE(std::filesystem::exists(image));
    }

    test::TestTrash &trash = test::TestTrash::instance();
    std::vector<std::string> indexFiles;
};

TEST_F(SolverDelegateSolveEngineTest, FitsWithAnOutputPathGetsACopyCarryingTheSolution) {
    const std::string output = (dir / "field_wcs.fits").string();
    solveTheField(images().fits, output);
    // The copy's own header puts the middle of the picture on the chosen centre.
    const auto [ra, dec] = skyAt(output, 500.5, 400.5);
    EXPECT_NEAR(ra, chosenRa, 0.02);
    EXPECT_NEAR(dec, chosenDec, 0.02);
}

TEST_F(SolverDelegateSolveEngineTest, PngIsConvertedAndSolved) {
    solveTheField(images().png);
}

TEST_F(SolverDelegateSolveEngineTest, JpegIsConvertedAndSolved) {
    solveTheField(images().jpeg);
}

TEST_F(SolverDelegateSolveEngineTest, FloatingPointTiffIsConvertedAndSolved) {
    solveTheField(images().floatTiff);
}

// A home such as /home/björn and a temporary folder with an accent: the configuration file and
// the converted image live there.
TEST_F(SolverDelegateSolveEngineTest, PngIsConvertedAndSolvedInFoldersWithAccentedNames) {
    makeSolver(dir / "Bj\xc3\xb6rn" / "support", dir / "caf\xc3\xa9-tmp");
    test::linkTycho2IndexFiles(solver->paths().supportFolder);
    solveTheField(images().png);
}

TEST_F(SolverDelegateSolveEngineTest, FailingNewWcsSkipsWcsinfoAndLeavesTheResults) {
    solver->setRaCenter(1.0);
    solver->setParity(0);
    test::processAndDrain(solver, images().fits, (dir / "no-such-folder" / "out.fits").string());
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(logView->lines.back().first, "\nFailed to solve file\n");
    EXPECT_NE(logView->text().find("\nnew-wcs terminated (status "), std::string::npos);
    EXPECT_EQ(logView->text().find("\nwcsinfo "), std::string::npos);
    EXPECT_EQ(solver->raCenter(), 1.0);
    EXPECT_EQ(solver->parity(), 0);
}

TEST_F(SolverDelegateSolveEngineTest, WithoutIndexFilesNothingSolves) {
    for (const auto &file : indexFiles)
        std::filesystem::remove(solver->paths().supportFolder / file);
    test::processAndDrain(solver, images().fits);
    EXPECT_EQ(test::readFile(solver->paths().configurationFile),
              "cpulimit 300\nadd_path " + solver->paths().supportFolder.string() + "\n");
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Failed to solve file");
    EXPECT_FALSE(solver->raCenter());
}

TEST_F(SolverDelegateSolveEngineTest, SolveFieldKilledMidRunEndsFailed) {
    bool aborted = false;
    test::processAndDrain(
        solver, images().unsolvable, std::nullopt, std::nullopt, std::nullopt, [&] {
            const auto task = solver->task();
            if (!aborted && logView->text().find("\nsolve-field ") != std::string::npos && task &&
                task->processIdentifier() != 0) {
                task->terminate();
                aborted = true;
            }
        });
    EXPECT_TRUE(aborted);
    EXPECT_TRUE(logged("\nsolve-field aborted"));
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(logView->lines.back().first, "\nFailed to solve file\n");
}

} // namespace
} // namespace quintarvel
