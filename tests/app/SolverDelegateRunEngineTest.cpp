#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/EngineRunError.h"
#include "app/LineIO.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fitsio.h>
#include <fstream>
#include <future>
#include <random>

namespace quintarvel {
namespace {

// The real engine, through the build's links folder.
class SolverDelegateRunEngineTest : public ::testing::Test, protected test::SolverFixture {};

struct Star {
    double x, y, peak;
};

// A 16-bit grey image of sky with round stars (sigma 1.5 pixels) over a faint ripple.
void writeStarImage(const std::filesystem::path &path, long width, long height,
                    const std::vector<Star> &stars) {
    std::vector<double> sky(width * height);
    for (long y = 0; y < height; ++y)
        for (long x = 0; x < width; ++x)
            sky[y * width + x] = 1000 + 5 * ((x * 7 + y * 13) % 5);
    for (const auto &star : stars)
        for (long y = std::max(0L, long(star.y) - 8); y < std::min(height, long(star.y) + 9); ++y)
            for (long x = std::max(0L, long(star.x) - 8); x < std::min(width, long(star.x) + 9);
                 ++x) {
                const double dx = x - star.x, dy = y - star.y;
                sky[y * width + x] += star.peak * std::exp(-(dx * dx + dy * dy) / (2 * 1.5 * 1.5));
            }
    std::vector<unsigned short> pixels(sky.size());
    for (std::size_t i = 0; i < sky.size(); ++i)
        pixels[i] = static_cast<unsigned short>(std::min(sky[i], 65535.0));
    int status = 0;
    fitsfile *file = nullptr;
    long axes[] = {width, height};
    fits_create_file(&file, ("!" + path.string()).c_str(), &status);
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    fits_write_img(file, TUSHORT, 1, width * height, pixels.data(), &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0);
}

TEST_F(SolverDelegateRunEngineTest, SolveFieldPrintsItsVersionAndImage2xyFindsTheStars) {
    solver->run("solve-field", {"--version"});
    drainMainQueue();
    ASSERT_EQ(logView->lines.size(), 3u) << logView->text(); // command line, version, done
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(logView->lines[1].first[0])))
        << logView->lines[1].first;
    EXPECT_EQ(solver->message(), "solve-field done");

    const auto image = solver->paths().supportFolder / "stars.fits";
    const auto starList = solver->paths().supportFolder / "stars.xy";
    writeStarImage(
        image, 120, 100,
        {{20, 30, 8000}, {60, 50, 12000}, {95, 20, 6000}, {40, 80, 10000}, {100, 85, 9000}});
    solver->run("image2xy", {"-O", "-o", starList.string(), image.string()});
    drainMainQueue();
    EXPECT_EQ(solver->message(), "image2xy done");
    int status = 0;
    fitsfile *file = nullptr;
    long rows = 0;
    fits_open_table(&file, starList.c_str(), READONLY, &status);
    fits_get_num_rows(file, &rows, &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(rows, 5);
}

// solve-field hands the search to a helper that writes into the same output pipe; an abort
// has to end that helper too, or the run would wait for it to give up on its own.
TEST_F(SolverDelegateRunEngineTest, AbortEndsSolveFieldAndItsSearch) {
    const auto folder = solver->paths().supportFolder;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> position(10, 590), peak(500, 20000);
    std::vector<Star> stars(200);
    for (auto &star : stars)
        star = {position(random), position(random), peak(random)};
    writeStarImage(folder / "field.fits", 600, 600, stars);
    solver->run("image2xy",
                {"-O", "-o", (folder / "field.xy").string(), (folder / "field.fits").string()});
    // A random field matches no index: the search would go on up to the CPU limit.
    std::ofstream(solver->paths().configurationFile)
        << "cpulimit 300\nadd_path /usr/share/astrometry\nautoindex\n";

    Pipe forward;
    auto running = std::async(std::launch::async, [&] {
        solver->run("solve-field",
                    {"--overwrite", "--no-plots", "--no-remove-lines", "--no-verify-uniformize",
                     "--sort-column", "FLUX", "--uniformize", "0", "--axy",
                     (folder / "field.axy").string(), "--config",
                     solver->paths().configurationFile.string(), (folder / "field.xy").string()},
                    &forward.fileHandleForWriting());
    });
    // Once the search has reported on one index, it is under way.
    for (;;) {
        auto line = readLine(forward.fileHandleForReading());
        ASSERT_TRUE(line) << "solve-field ended before its search";
        if (line->find("did not solve") != std::string::npos)
            break;
    }
    solver->task()->terminate();
    try {
        running.get();
        ADD_FAILURE() << "the run did not throw";
    } catch (const EngineRunError &e) {
        EXPECT_EQ(e.errorCase(), EngineRunError::Case::aborted) << e.what();
    }
    drainMainQueue();
    EXPECT_EQ(solver->message(), "solve-field aborted");
}

} // namespace
} // namespace quintarvel
