#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/RawImageRep.h"
#include "app/SolvePipeline.h"
#include "platform/ImageRepClass.h"
#include "platform/Process.h"
#include "support/IndexLinks.h"
#include "support/PipelineRun.h"
#include "support/SolverFixture.h"
#include "support/StarField.h"
#include "support/TestTrash.h"

#include <gtest/gtest.h>

#include <fitsio.h>

#include <cmath>
#include <map>
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
    std::string tiff = (dir / "field.tif").string();
    std::string raw = (dir / "field.raw").string();
    std::string unsolvable = (dir / "random.fits").string();

    GeneratedImages() {
        std::vector<std::filesystem::path> indexFiles;
        for (int n = 10; n <= 19; ++n)
            indexFiles.push_back(test::tycho2IndexFile(n));
        const auto stars = test::catalogStars(chosenRa, chosenDec, 6, indexFiles,
                                              QUINTARVEL_LIBEXEC_DIR "/query-starkd");
        test::StarFieldOptions options;
        options.raCenter = chosenRa;
        options.decCenter = chosenDec;
        options.pixelScale = chosenScale;
        options.rotation = chosenRotation;
        const test::StarField field(options, stars);
        field.writeFITS(fits);
        field.writePNG(png);
        field.writeJPEG(jpeg);
        field.writeTIFF(tiff);
        field.writeRAW2(raw);

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

struct Wcs {
    double crval1 = 0, crval2 = 0, crpix1 = 0, crpix2 = 0, cd11 = 0, cd12 = 0, cd21 = 0, cd22 = 0;
    long width = 0, height = 0;
};

// The linear WCS keys of a FITS header; NAXIS1/2 or IMAGEW/H for the size.
Wcs readWcs(const std::string &path) {
    fitsfile *file = nullptr;
    int status = 0;
    Wcs w;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    const std::pair<const char *, double *> keys[] = {
        {"CRVAL1", &w.crval1}, {"CRVAL2", &w.crval2}, {"CRPIX1", &w.crpix1}, {"CRPIX2", &w.crpix2},
        {"CD1_1", &w.cd11},    {"CD1_2", &w.cd12},    {"CD2_1", &w.cd21},    {"CD2_2", &w.cd22}};
    for (const auto &[name, value] : keys)
        fits_read_key(file, TDOUBLE, name, value, nullptr, &status);
    int sizeStatus = 0;
    fits_read_key(file, TLONG, "NAXIS1", &w.width, nullptr, &sizeStatus);
    fits_read_key(file, TLONG, "NAXIS2", &w.height, nullptr, &sizeStatus);
    if (file) {
        int closeStatus = 0;
        fits_close_file(file, &closeStatus);
    }
    EXPECT_EQ(status, 0) << "reading the WCS of " << path;
    return w;
}

// The sky position of FITS pixel (x, y) through the gnomonic projection of the header.
std::pair<double, double> skyAt(const Wcs &w, double x, double y) {
    constexpr double degree = std::numbers::pi / 180;
    const double xi = (w.cd11 * (x - w.crpix1) + w.cd12 * (y - w.crpix2)) * degree;
    const double eta = (w.cd21 * (x - w.crpix1) + w.cd22 * (y - w.crpix2)) * degree;
    const double dec0 = w.crval2 * degree;
    const double d = std::cos(dec0) - eta * std::sin(dec0);
    const double ra = w.crval1 + std::atan2(xi, d) / degree;
    const double dec =
        std::atan2(std::sin(dec0) + eta * std::cos(dec0), std::sqrt(xi * xi + d * d)) / degree;
    return {ra, dec};
}

class SolverDelegateSolveEngineTest : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegateSolveEngineTest() {
        // As start-up does, so that the raw raster container decodes.
        registerImageRepClass(RawImageRep::imageRepClass());
        trash.empty();
        indexFiles = test::linkTycho2IndexFiles(solver->paths().supportFolder);
    }
    ~SolverDelegateSolveEngineTest() override { trash.empty(); }

    pipeline::WorkingNames names(const std::string &imagePath) const {
        return pipeline::WorkingNames::forImage(solver->paths().temporaryFolder, imagePath);
    }
    std::optional<Color> logged(const std::string &text) const {
        for (const auto &[line, color] : logView->lines)
            if (line == text + "\n")
                return color;
        return std::nullopt;
    }
    bool loggedGreenLineStarting(const std::string &prefix) const {
        for (const auto &[line, color] : logView->lines)
            if (line.rfind(prefix, 0) == 0 && color == successColor())
                return true;
        return false;
    }
    void expectChosenField() const {
        ASSERT_TRUE(solver->raCenter() && solver->decCenter() && solver->pixelScale() &&
                    solver->orientation() && solver->parity());
        EXPECT_NEAR(*solver->raCenter(), chosenRa, 0.01);
        EXPECT_NEAR(*solver->decCenter(), chosenDec, 0.01);
        EXPECT_NEAR(*solver->pixelScale(), chosenScale, chosenScale * 0.01);
        EXPECT_NEAR(*solver->orientation(), chosenRotation, 0.5);
    }

    test::TestTrash &trash = test::TestTrash::instance();
    std::vector<std::string> indexFiles;
};

class SolvesEveryFormat : public SolverDelegateSolveEngineTest,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(SolvesEveryFormat, ToTheChosenCentreScaleAndOrientation) {
    const auto &generated = images();
    const std::map<std::string, std::string> byFormat{{"fits", generated.fits},
                                                      {"png", generated.png},
                                                      {"jpeg", generated.jpeg},
                                                      {"tiff", generated.tiff},
                                                      {"raw", generated.raw}};
    const std::string image = byFormat.at(GetParam());
    removeFiles->setState(CheckBox::on);
    test::processAndDrain(solver, image);
    EXPECT_EQ(solver->status(), "done") << logView->text();
    expectChosenField();

    const auto b = names(image);
    const bool converted = GetParam() != "fits";
    const std::string fitsPath = converted ? b.convertedImage() : image;
    EXPECT_EQ(logged("\nimage2xy -O -o " + b.starList() + " " + fitsPath), warningColor());
    EXPECT_EQ(logged("\nwcsinfo " + b.solution()), warningColor());
    EXPECT_TRUE(loggedGreenLineStarting("Field center: (RA,Dec) = ("));
    for (const char *result : {"ra_center ", "dec_center ", "orientation ", "pixscale ", "parity "})
        EXPECT_TRUE(loggedGreenLineStarting(result)) << result;
    const auto &last = logView->lines.back();
    EXPECT_EQ(last.first.rfind("\nDone in ", 0), 0u) << last.first;
    EXPECT_EQ(last.first.substr(last.first.size() - 9), " seconds\n");
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
        const std::string name = file.filename().string();
        trashed.push_back(name);
        EXPECT_FALSE(std::filesystem::exists(file)) << file;
        EXPECT_EQ(trash.originalPath(name), file.string()) << "no record for " << name;
    }
    std::sort(trashed.begin(), trashed.end());
    EXPECT_EQ(trash.names(), trashed);
    EXPECT_TRUE(std::filesystem::exists(image));
}

INSTANTIATE_TEST_SUITE_P(SolverDelegateSolveEngine, SolvesEveryFormat,
                         ::testing::Values("fits", "png", "jpeg", "tiff", "raw"));

TEST_F(SolverDelegateSolveEngineTest, OutputPathGetsACopyCarryingTheSolution) {
    const std::string output = (dir / "field_wcs.fits").string();
    test::processAndDrain(solver, images().fits, output);
    ASSERT_EQ(solver->status(), "done") << logView->text();
    const Wcs copy = readWcs(output);
    const Wcs solution = readWcs(names(images().fits).solution());
    EXPECT_EQ(copy.crval1, solution.crval1);
    EXPECT_EQ(copy.crval2, solution.crval2);
    EXPECT_EQ(copy.cd11, solution.cd11);
    EXPECT_EQ(copy.width, 1000);
    EXPECT_EQ(copy.height, 800);
    // The copy's own header puts the middle of the picture on the chosen centre.
    const auto [ra, dec] = skyAt(copy, 500.5, 400.5);
    EXPECT_NEAR(ra, chosenRa, 0.02);
    EXPECT_NEAR(dec, chosenDec, 0.02);
    expectChosenField();
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
    EXPECT_FALSE(std::filesystem::exists(names(images().fits).solution()));
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
    EXPECT_EQ(logged("solve-field aborted"), errorColor());
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(logView->lines.back().first, "\nFailed to solve file\n");
}

} // namespace
} // namespace quintarvel
