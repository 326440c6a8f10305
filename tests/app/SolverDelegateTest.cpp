#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "platform/Dispatch.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <thread>

namespace quintarvel {
namespace {

using test::ControlJournal;

class SolverDelegateTest : public ::testing::Test, protected test::SolverFixture {};

TEST_F(SolverDelegateTest, StartsReadyWithNoResults) {
    EXPECT_EQ(solver->status(), "ready");
    EXPECT_EQ(solver->message(), "");
    EXPECT_FALSE(solver->raCenter() || solver->decCenter() || solver->orientation() ||
                 solver->pixelScale() || solver->parity());
    EXPECT_FALSE(solver->task());
}

TEST_F(SolverDelegateTest, LogAppendsALineInTheGivenColourOnTheMainQueueOnly) {
    solver->log("plain");
    solver->log("", successColor());
    solver->log("two\nlines\n", errorColor());
    EXPECT_TRUE(logView->lines.empty()); // nothing happens before the main queue runs
    drainMainQueue();
    ASSERT_EQ(logView->lines.size(), 3u);
    EXPECT_EQ(logView->lines[0].first, "plain\n");
    EXPECT_TRUE(logView->lines[0].second.isControlText);
    EXPECT_EQ(logView->lines[1].first, "\n");
    EXPECT_EQ(logView->lines[1].second, successColor());
    EXPECT_EQ(logView->lines[2].first, "two\nlines\n\n");
    EXPECT_EQ(logView->scrolls, 3);
}

TEST_F(SolverDelegateTest, FailedLogsRedAndKeepsMessageWithoutLineFeeds) {
    solver->failed("\nFailed to solve file");
    drainMainQueue();
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Failed to solve file");
    ASSERT_EQ(logView->lines.size(), 1u);
    EXPECT_EQ(logView->lines[0].first, "\nFailed to solve file\n");
    EXPECT_EQ(logView->lines[0].second, errorColor());

    solver->done("a\nb\r\nc\n");
    drainMainQueue();
    EXPECT_EQ(solver->message(), "ab\rc");
    EXPECT_EQ(logView->lines.back().second, successColor());
}

TEST_F(SolverDelegateTest, BusyWithoutMessageKeepsMessageAndLogsNothing) {
    solver->busy("\nProcessing HTTP request");
    drainMainQueue();
    EXPECT_EQ(logView->lines.back().second, warningColor());
    const auto logged = logView->lines.size();
    solver->busy();
    drainMainQueue();
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_EQ(solver->message(), "Processing HTTP request");
    EXPECT_EQ(logView->lines.size(), logged);
}

TEST_F(SolverDelegateTest, ControlsChangeInOrderSolveMenuSolveButtonAbortMenuAbortButton) {
    solver->done();
    drainMainQueue();
    EXPECT_EQ(solver->status(), "done");
    EXPECT_EQ(*journal, (ControlJournal{{"solveMenu", true},
                                        {"solveButton", true},
                                        {"abortMenu", false},
                                        {"abortButton", false}}));
    journal->clear();
    solver->busy();
    drainMainQueue();
    EXPECT_EQ(*journal, (ControlJournal{{"solveMenu", false},
                                        {"solveButton", false},
                                        {"abortMenu", true},
                                        {"abortButton", true}}));
}

TEST_F(SolverDelegateTest, LastPostedStatusWinsAndItsLineFollowsTheChange) {
    solver->busy("one");
    solver->busy("two");
    solver->done("three");
    drainMainQueue();
    EXPECT_EQ(solver->status(), "done");
    EXPECT_EQ(solver->message(), "three");
    ASSERT_EQ(logView->lines.size(), 3u);
    EXPECT_EQ(logView->lines[2].first, "three\n");
}

TEST_F(SolverDelegateTest, StatusLinesKeepTheirPlaceAmongLogLines) {
    // An engine's first output line is logged right after its command line went to busy().
    solver->busy("image2xy -O x.fits");
    solver->log("simplexy: found 3 sources.");
    solver->done("finished");
    drainMainQueue();
    ASSERT_EQ(logView->lines.size(), 3u);
    EXPECT_EQ(logView->lines[0].first, "image2xy -O x.fits\n");
    EXPECT_EQ(logView->lines[1].first, "simplexy: found 3 sources.\n");
    EXPECT_EQ(logView->lines[2].first, "finished\n");
}

TEST_F(SolverDelegateTest, StatusCallsFromManyThreadsAllLand) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                solver->log("line");
                solver->setPixelScale(t + i * 0.5);
                (void)solver->status();
            }
        });
    for (auto &t : threads)
        t.join();
    drainMainQueue();
    EXPECT_EQ(logView->lines.size(), 400u);
}

TEST(SolverDelegateWithoutWindow, StatusStillChanges) {
    test::TempDir dir;
    auto solver = std::make_shared<SolverDelegate>(
        SolverPaths{dir.path(), dir / "c.cfg", "/tmp/", dir.path()});
    solver->failed("no window");
    mainQueue().drain();
    EXPECT_EQ(solver->status(), "failed");
}

} // namespace
} // namespace quintarvel
