#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/SolvePipeline.h"
#include "platform/Dispatch.h"
#include "support/PipelineRun.h"
#include "support/SolverFixture.h"
#include "support/TestTrash.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

namespace quintarvel {
namespace {

using test::readFile;
using test::writeFile;
using Args = std::vector<std::string>;

// The remove-files check box, counting how often the pipeline asks for its state.
class CountingCheckBox : public test::FakeCheckBox {
  public:
    using FakeCheckBox::FakeCheckBox;
    int state() const override {
        ++reads;
        return FakeCheckBox::state();
    }
    mutable std::atomic<int> reads{0};
};

// The remove-files check box, on, noting what a new request finds while the clean-up asks it.
class WatchingCheckBox : public test::FakeCheckBox {
  public:
    explicit WatchingCheckBox(SolverDelegate &solver) : FakeCheckBox(on), solver_(solver) {}
    int state() const override {
        statusSeen = solver_.status();
        claimed = solver_.claimSolver("\nProcessing HTTP request");
        return FakeCheckBox::state();
    }
    mutable std::string statusSeen;
    mutable bool claimed = false;

  private:
    SolverDelegate &solver_;
};

constexpr const char *solutionLines = "ra_center 160.5\n"
                                      "dec_center 1.25\n"
                                      "orientation 30\n"
                                      "pixscale 29.97\n"
                                      "parity 1\n";

// The fake engine programs journal their runs in the support folder and take their orders
// from files there (see tests/fixtures/pipeline-engine/fake-common.sh).
class SolverDelegateSolveTest : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegateSolveTest() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/pipeline-engine") {
        trash.empty();
        solver->setRemoveFilesButton(box);
        writeFile(support() / "solution", solutionLines);
        writeFile(image, "not read by the fakes");
    }
    ~SolverDelegateSolveTest() override { trash.empty(); }

    std::filesystem::path support() const { return solver->paths().supportFolder; }
    pipeline::WorkingNames names(const std::string &imagePath) const {
        return pipeline::WorkingNames::forImage(solver->paths().temporaryFolder, imagePath);
    }
    void order(const std::string &file, const std::string &content = "") {
        writeFile(support() / file, content);
    }
    std::vector<Args> engineRuns() const {
        std::vector<Args> runs;
        std::istringstream lines(readFile(support() / "journal"));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            runs.emplace_back();
            for (std::string field; std::getline(fields, field, '\t');)
                runs.back().push_back(field);
        }
        return runs;
    }
    std::vector<std::string> programs() const {
        std::vector<std::string> names;
        for (const auto &run : engineRuns())
            names.push_back(run.front());
        return names;
    }
    // The colour of the first log line with this text, if it was logged.
    std::optional<Color> logged(const std::string &text) const {
        for (const auto &[line, color] : logView->lines)
            if (line == text + "\n")
                return color;
        return std::nullopt;
    }

    test::TestTrash &trash = test::TestTrash::instance();
    std::shared_ptr<CountingCheckBox> box = std::make_shared<CountingCheckBox>();
    const std::string image = (dir / "m31.fits").string();
};

TEST_F(SolverDelegateSolveTest, FitsImageIsSolvedInPlaceWithTheFixedCommandLines) {
    writeFile(solver->paths().configurationFile, "from an earlier solve\n");
    order("index-4107.fits");
    const std::string output = (dir / "m31_wcs.fits").string();
    test::processAndDrain(solver, image, output);
    const auto b = names(image);
    const std::string cfg = solver->paths().configurationFile.string();
    EXPECT_EQ(readFile(cfg),
              "cpulimit 300\nadd_path " + support().string() + "\nindex index-4107.fits\n");
    EXPECT_EQ(
        engineRuns(),
        (std::vector<Args>{{"image2xy", "-O", "-o", b.starList(), image},
                           {"solve-field", "--overwrite", "--no-plots", "--no-remove-lines",
                            "--no-verify-uniformize", "--sort-column", "FLUX", "--uniformize", "0",
                            "--axy", b.augmentedStarList(), "--config", cfg, b.starList()},
                           {"new-wcs", "-d", "-i", image, "-o", output, "-w", b.solution()},
                           {"wcsinfo", b.solution()}}));
    EXPECT_EQ(solver->status(), "done");
    EXPECT_EQ(solver->raCenter(), 160.5);
    EXPECT_EQ(solver->decCenter(), 1.25);
    EXPECT_EQ(solver->orientation(), 30.0);
    EXPECT_EQ(solver->pixelScale(), 29.97);
    EXPECT_EQ(solver->parity(), 1);
    const auto &last = logView->lines.back();
    EXPECT_EQ(last.first.rfind("\nDone in ", 0), 0u) << last.first;
    EXPECT_EQ(last.second, successColor());
    EXPECT_EQ("\n" + solver->message() + "\n", last.first);
    EXPECT_EQ(logView->text().find("Converting"), std::string::npos);

    // Box off: the clean-up asked, and left every file alone.
    EXPECT_EQ(box->reads, 1);
    EXPECT_TRUE(trash.names().empty());
    EXPECT_TRUE(std::filesystem::exists(b.solution()));
}

TEST_F(SolverDelegateSolveTest, AFailingEngineRunStopsThereKeepsTheResultsAndStillCleansUp) {
    solver->setRaCenter(1.0); // results of an earlier solve
    solver->setParity(0);
    order("image2xy.exit", "2");
    test::processAndDrain(solver, image);
    EXPECT_EQ(programs(), (Args{"image2xy"}));
    EXPECT_EQ(logged("image2xy terminated (status 2)"), errorColor());
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(logView->lines.back().first, "\nFailed to solve file\n");
    EXPECT_EQ(box->reads, 1);

    // No solution file: only the two star lists were made; the missing files are skipped
    // and the FITS image stays where it is.
    std::filesystem::remove(support() / "image2xy.exit");
    std::filesystem::remove(support() / "journal");
    order("solve-field.nosolution");
    box->setState(CheckBox::on);
    test::processAndDrain(solver, image);
    EXPECT_EQ(programs(), (Args{"image2xy", "solve-field"}));
    EXPECT_EQ(solver->raCenter(), 1.0);
    EXPECT_EQ(solver->parity(), 0);
    EXPECT_EQ(solver->status(), "failed");
    const auto b = names(image);
    EXPECT_EQ(trash.names(),
              (std::vector<std::string>{std::filesystem::path(b.augmentedStarList()).filename(),
                                        std::filesystem::path(b.starList()).filename()}));
    EXPECT_TRUE(std::filesystem::exists(image));
}

TEST_F(SolverDelegateSolveTest, UnwritableConfigurationOrFailedConversionEndsBeforeAnyWork) {
    const std::string bad = (dir / "broken.png").string();
    writeFile(bad, "\x89PNG\r\n\x1a\n but nothing after the signature");
    box->setState(CheckBox::on);
    test::processAndDrain(solver, bad);
    EXPECT_EQ(logged("\nFailed to convert " + bad + " to FITS"), errorColor());
    EXPECT_EQ(solver->message(), "Failed to convert " + bad + " to FITS");
    EXPECT_TRUE(std::filesystem::exists(bad));

    std::filesystem::remove(solver->paths().configurationFile);
    std::filesystem::create_directory(solver->paths().configurationFile);
    test::processAndDrain(solver, image);
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Failed to create configuration file");
    EXPECT_EQ(logged("\nFailed to create configuration file"), errorColor());
    EXPECT_TRUE(engineRuns().empty());
    EXPECT_EQ(box->reads, 0); // no clean-up
}

TEST_F(SolverDelegateSolveTest, ConfigurationIsUtf8AndAFolderThatIsNotFailsTheSolveSayingWhy) {
    SolverPaths paths = solver->paths();
    paths.supportFolder = dir / "Donn\xc3\xa9"
                                "es";
    paths.configurationFile = paths.supportFolder / "quintarvel-0.cfg";
    std::filesystem::create_directory(paths.supportFolder);
    writeFile(paths.supportFolder / "solution", solutionLines);
    auto other = std::make_shared<SolverDelegate>(paths);
    test::processAndDrain(other, image);
    EXPECT_EQ(readFile(paths.configurationFile),
              "cpulimit 300\nadd_path " + paths.supportFolder.string() + "\n");
    EXPECT_EQ(other->status(), "done");

    // Latin-1 bytes: no UTF-8 text can hold them. Nothing runs and nothing is cleaned up.
    paths.supportFolder = dir / "Donn\xe9"
                                "es";
    paths.configurationFile = paths.supportFolder / "quintarvel-0.cfg";
    std::filesystem::create_directory(paths.supportFolder);
    other = std::make_shared<SolverDelegate>(paths);
    other->setLogText(logView);
    other->setRemoveFilesButton(box);
    test::processAndDrain(other, image);
    const std::string why = "\nFailed to create configuration file: the support folder's path " +
                            (dir / "Donn\xef\xbf\xbd"
                                   "es")
                                .string() +
                            " is not valid UTF-8";
    EXPECT_EQ(logged(why), errorColor());
    EXPECT_EQ(other->status(), "failed");
    EXPECT_EQ(other->message(), why.substr(1));
    EXPECT_FALSE(std::filesystem::exists(paths.configurationFile));
    EXPECT_FALSE(std::filesystem::exists(paths.supportFolder / "journal"));
    EXPECT_EQ(box->reads, 0);
}

TEST_F(SolverDelegateSolveTest, WorkingFilesTheTrashRefusesAreDeletedWithOneLineSayingSo) {
    trash.refuse();
    box->setState(CheckBox::on);
    ::testing::internal::CaptureStderr();
    test::processAndDrain(solver, image);
    const std::string systemLog = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(solver->status(), "done");
    const auto b = names(image);
    for (const auto &file : b.createdFiles(false))
        EXPECT_FALSE(std::filesystem::exists(file)) << file;
    EXPECT_TRUE(std::filesystem::exists(image));
    EXPECT_EQ(systemLog.find("Cannot move "), std::string::npos) << systemLog;
    const std::string line = "Working files " + b.base + ".* deleted, not moved to the Trash: ";
    const auto at = systemLog.find(line);
    ASSERT_NE(at, std::string::npos) << systemLog;
    EXPECT_EQ(systemLog.find(line, at + 1), std::string::npos) << systemLog;
}

TEST_F(SolverDelegateSolveTest, RequestOptionsGoInPlaceAndTheSamePathGivesTheSameNames) {
    test::processAndDrain(solver, image, std::nullopt, Args{"-d", "2"},
                          Args{"--ra", "160", "--dec", "1"});
    test::processAndDrain(solver, image, std::nullopt, Args{}, Args{});
    const auto runs = engineRuns();
    ASSERT_EQ(runs.size(), 6u);
    const auto b = names(image);
    EXPECT_EQ(runs[0], (Args{"image2xy", "-O", "-d", "2", "-o", b.starList(), image}));
    EXPECT_EQ(Args(runs[1].begin() + 9, runs[1].begin() + 14),
              (Args{"--ra", "160", "--dec", "1", "--axy"}));
    // Empty option lists give exactly the fixed command lines, with the same working names.
    EXPECT_EQ(runs[3], (Args{"image2xy", "-O", "-o", b.starList(), image}));
    EXPECT_EQ(runs[4].size(), 14u);
    EXPECT_EQ(runs[4].back(), runs[1].back());
}

TEST_F(SolverDelegateSolveTest, SolverIsNotFreeUntilTheCleanUpHasFinished) {
    // A request that took the solver at "done" would use the same working names, and could
    // have its fresh files moved to the Trash by this clean-up.
    auto watching = std::make_shared<WatchingCheckBox>(*solver);
    solver->setRemoveFilesButton(watching);
    test::processAndDrain(solver, image);
    EXPECT_EQ(watching->statusSeen, "busy");
    EXPECT_FALSE(watching->claimed);
    EXPECT_FALSE(trash.names().empty());
    EXPECT_EQ(solver->status(), "done");
    EXPECT_TRUE(solver->message().starts_with("Done in ")) << solver->message();
}

TEST_F(SolverDelegateSolveTest, SolveImageReturnsAtOnceAndSolvesOnAGlobalQueue) {
    solver->solveImage(image);
    // Nothing can have reached the window yet: that needs this thread.
    EXPECT_TRUE(logView->lines.empty());
    // The request ends after its clean-up, which asks the box.
    while (box->reads == 0 || solver->status() == "busy")
        mainQueue().drainFor(std::chrono::milliseconds(20));
    mainQueue().drain();
    EXPECT_EQ(solver->status(), "done");
}

} // namespace
} // namespace quintarvel
