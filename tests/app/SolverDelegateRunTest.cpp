#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/EngineRunError.h"
#include "app/LineIO.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <future>
#include <tuple>

namespace quintarvel {
namespace {

using Case = EngineRunError::Case;

class SolverDelegateRunTest : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegateRunTest() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/engine") {}

    // Runs the fake wcsinfo, which prints the lines as its output, then shows the log.
    void runWcsinfo(const std::string &output) {
        const auto path = dir / "solution.wcs";
        test::writeFile(path, output);
        solver->run("wcsinfo", {path.string()});
        drainMainQueue();
    }

    // The colour of the logged line, or nothing when it was not logged.
    std::optional<Color> colorOf(const std::string &line) const {
        for (const auto &[text, color] : logView->lines)
            if (text == line + "\n")
                return color;
        return std::nullopt;
    }

    // Where a line lies in the log; -1 when it is not there.
    long positionOf(const std::string &line) const {
        const auto &lines = logView->lines;
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].first == line + "\n")
                return static_cast<long>(i);
        return -1;
    }

    // Runs and hands back what it threw.
    std::optional<EngineRunError> runFailing(const std::string &program,
                                             const std::vector<std::string> &arguments) {
        std::optional<EngineRunError> error;
        try {
            solver->run(program, arguments);
        } catch (const EngineRunError &e) {
            error = e;
        }
        drainMainQueue();
        return error;
    }
};

TEST_F(SolverDelegateRunTest, ResultLinesShowGreenAndSetTheirFieldOrClearItWhenNoNumber) {
    using Field = std::optional<double> (SolverDelegate::*)() const;
    const Field ra = &SolverDelegate::raCenter, dec = &SolverDelegate::decCenter,
                turn = &SolverDelegate::orientation, scale = &SolverDelegate::pixelScale;
    const std::tuple<const char *, Field, std::optional<double>, bool> cases[] = {
        {"ra_center   123.5", ra, 123.5, true},
        {"dec_center -45.25 7", dec, -45.25, true}, // the second piece; later ones ignored
        {"orientation 0x1p3", turn, 8, true},
        {"pixscale +1.5e1", scale, 15, true},
        {"pixscale -INFINITY", scale, -INFINITY, true},
        {"ra_center 12,5", ra, std::nullopt, true},
        {"dec_center 123.5x", dec, std::nullopt, true},
        {"orientation ", turn, std::nullopt, true}, // no second piece
        {"ra_center 5\r", ra, std::nullopt, true},  // white space inside the piece
        {"dec_center 5\v", dec, std::nullopt, true},
        {"pixscale\t2", scale, 1, false}, // a tab matches no prefix
        {"ra_center_note 9", ra, 1, false},
        {"Field size: 3 x 2 degrees", ra, 1, true},
        {"Field center: (RA,Dec) = (1, 2) deg.", ra, 1, true},
    };
    for (const auto &[line, field, value, green] : cases) {
        solver->setRaCenter(1);
        solver->setDecCenter(1);
        solver->setOrientation(1);
        solver->setPixelScale(1);
        logView->lines.clear();
        runWcsinfo(std::string(line) + "\n");
        EXPECT_EQ((solver.get()->*field)(), value) << line;
        EXPECT_EQ(colorOf(line), green ? successColor() : Color::controlText()) << line;
    }
    runWcsinfo("orientation NaN\n");
    EXPECT_TRUE(std::isnan(solver->orientation().value_or(0)));

    // Parity is 1 for zero or more, 0 below or for nan; no number leaves it.
    const std::tuple<const char *, std::optional<long>, std::optional<long>> parities[] = {
        {"parity 0", 0, 1},
        {"parity 0.5", 0, 1},
        {"parity -1", 1, 0},
        {"parity nan", 1, 0},
        {"parity word", 0, 0},
        {"parity ", 1, 1},
        {"parity 2", std::nullopt, 1},
        {"parity x", std::nullopt, std::nullopt}};
    for (const auto &[line, before, after] : parities) {
        solver->setParity(before);
        runWcsinfo(std::string(line) + "\n");
        EXPECT_EQ(solver->parity(), after) << line;
        EXPECT_EQ(colorOf(line), successColor()) << line;
    }
}

TEST_F(SolverDelegateRunTest, SuccessLogsCommandLineAndDoneAndForwardsEveryLine) {
    const auto forwardPath = dir / "forwarded";
    FileHandle forward(::open(forwardPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    solver->run("wcsinfo", {"--fake-line", "a", "--fake-line", "", "--fake-stderr", "b"}, &forward);
    drainMainQueue();
    EXPECT_EQ(test::readFile(forwardPath), "a\n\nb\n");
    // Empty lines are forwarded, never logged; standard error is read like standard output.
    const std::string commandLine = "\nwcsinfo --fake-line a --fake-line  --fake-stderr b";
    const std::vector<std::pair<std::string, Color>> expected{{commandLine + "\n", warningColor()},
                                                              {"a\n", Color::controlText()},
                                                              {"b\n", Color::controlText()},
                                                              {"wcsinfo done\n", warningColor()}};
    EXPECT_EQ(logView->lines, expected);
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_FALSE(solver->task());

    // A forward handle whose reader went away loses the lines quietly.
    Pipe gone;
    gone.fileHandleForReading().closeFile();
    solver->run("wcsinfo", {"--fake-line", "one", "--fake-line", "two"},
                &gone.fileHandleForWriting());
    drainMainQueue();
    EXPECT_EQ(solver->message(), "wcsinfo done");
    EXPECT_GE(positionOf("two"), 0);
}

TEST_F(SolverDelegateRunTest, BareNameWithoutArgumentsAndAnEnvironmentOfOnlyTmp) {
    solver->run("solve-field", {});
    drainMainQueue();
    EXPECT_EQ(colorOf("\nsolve-field"), warningColor());
    logView->lines.clear();
    solver->run("wcsinfo", {"--fake-environment"});
    drainMainQueue();
    EXPECT_EQ(logView->lines.size(), 4u); // command line, TMP, working folder, done
    EXPECT_GE(positionOf("TMP=" + solver->paths().temporaryFolder), 0);
    EXPECT_GE(positionOf(std::filesystem::canonical(solver->paths().supportFolder).string()), 0);
}

TEST_F(SolverDelegateRunTest, NonZeroStatusIsTerminatedAndFifteenIsAborted) {
    auto error = runFailing("image2xy", {"--fake-exit", "2"});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), Case::terminated);
    EXPECT_STREQ(error->domain(), "terminated");
    EXPECT_EQ(colorOf("image2xy terminated (status 2)"), errorColor());
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "image2xy terminated (status 2)");
    ASSERT_TRUE(solver->task()); // the ended program stays
    EXPECT_EQ(solver->task()->terminationStatus(), 2);

    error = runFailing("wcsinfo", {"--fake-exit", "15"});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), Case::aborted);
    EXPECT_EQ(colorOf("wcsinfo aborted"), errorColor());
}

TEST_F(SolverDelegateRunTest, AbortWhileRunningEndsTheRunAsAborted) {
    Pipe forward;
    auto running = std::async(std::launch::async, [&] {
        solver->run("solve-field", {"--fake-line", "sleeping", "--fake-sleep"},
                    &forward.fileHandleForWriting());
    });
    // The line arrives while the program runs.
    EXPECT_EQ(readLine(forward.fileHandleForReading()), "sleeping");
    auto task = solver->task();
    ASSERT_TRUE(task);
    task->terminate();
    try {
        running.get();
        ADD_FAILURE() << "the run did not throw";
    } catch (const EngineRunError &e) {
        EXPECT_EQ(e.errorCase(), Case::aborted);
        EXPECT_STREQ(e.what(), "solve-field aborted");
    }
    drainMainQueue();
    EXPECT_EQ(colorOf("solve-field aborted"), errorColor());
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->task(), task);
    task->terminate(); // nothing left to end
}

TEST_F(SolverDelegateRunTest, OutputThatIsNotUtf8EndsTheLinesButIsReadToTheEnd) {
    const auto forwardPath = dir / "forwarded";
    FileHandle forward(::open(forwardPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    // A megabyte after the bad line: far more than a pipe holds, so the program only ends
    // when the runner keeps reading.
    solver->run("wcsinfo",
                {"--fake-line", "before", "--fake-printf", "bad \\xff byte\\n", "--fake-flood",
                 "1048576", "--fake-line", "after"},
                &forward);
    drainMainQueue();
    EXPECT_EQ(test::readFile(forwardPath), "before\n");
    EXPECT_EQ(logView->lines.size(), 3u); // command line, before, done
    EXPECT_EQ(solver->message(), "wcsinfo done");
}

TEST_F(SolverDelegateRunTest, RefusedProgramsStartNothingAndFailLikeARun) {
    const std::string folder = solver->paths().enginesFolder.string();
    const std::string plain = "\": not a plain program name";
    const std::tuple<std::string, std::vector<std::string>, std::string> refusals[] = {
        {"", {}, "Cannot run \"\": no program name"},
        {"../fake-engine.sh", {}, "Cannot run \"../fake-engine.sh" + plain},
        {"/bin/sh", {"-c", "true"}, "Cannot run \"/bin/sh" + plain},
        {"..", {}, "Cannot run \".." + plain},
        {"no-such-program", {}, "Cannot run \"no-such-program\": no such program in " + folder},
        {"wcsinfo", {std::string("a\0b", 3)}, "Cannot run \"wcsinfo\": Invalid argument"},
    };
    for (const auto &[program, arguments, line] : refusals) {
        auto error = runFailing(program, arguments);
        ASSERT_TRUE(error) << program;
        EXPECT_EQ(error->errorCase(), Case::notStarted);
        EXPECT_EQ(error->what(), line);
        EXPECT_EQ(colorOf(line), errorColor()) << line;
        EXPECT_EQ(solver->status(), "failed");
        EXPECT_EQ(solver->message(), line);
        EXPECT_FALSE(solver->task());
    }
    const auto support = solver->paths().supportFolder;
    std::filesystem::remove(support);
    auto error = runFailing("wcsinfo", {});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->what(), "Cannot run \"wcsinfo\": no working folder " + support.string());
    std::filesystem::create_directory(support);
    // The solver goes on serving.
    solver->run("wcsinfo", {"--fake-line", "still here"});
    drainMainQueue();
    EXPECT_GE(positionOf("still here"), 0);
}

} // namespace
} // namespace quintarvel
