#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/EngineRunError.h"
#include "app/LineIO.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "support/SolverFixture.h"
#include "support/StarField.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fitsio.h>
#include <fstream>
#include <future>
#include <random>

namespace quintarvel {
namespace {

// The real engine, through the build's links folder.
class SolverDelegateRunEngineTest : public ::testing::Test, protected test::SolverFixture {};

// A field of `width` × `height` pixels of 30" at RA 0, Dec 0, with stars at these offsets
// from the centre in pixels and magnitudes.
void writeField(const std::filesystem::path &path, int width, int height,
                const std::vector<test::Star> &offsets) {
    std::vector<test::Star> stars;
    for (const auto &star : offsets) // 120 pixels of 30" to the degree
        stars.push_back({star.ra / 120, star.dec / 120, star.magnitude});
    test::StarField({.width = width, .height = height}, stars).writeFITS(path);
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
    writeField(image, 120, 100,
               {{-40, -20, 10}, {0, 0, 9}, {35, -30, 10}, {-20, 30, 9.5}, {40, 35, 10}});
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
    std::uniform_real_distribution<double> position(-290, 290), magnitude(8, 12);
    std::vector<test::Star> stars(200);
    for (auto &star : stars)
        star = {position(random), position(random), magnitude(random)};
    writeField(folder / "field.fits", 600, 600, stars);
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
