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

TEST_F(SolverDelegateTest, LogAppendsALineInItsColourOnTheMainQueueOnly) {
    EXPECT_EQ(solver->status(), "ready");
    EXPECT_FALSE(solver->raCenter() || solver->parity() || solver->task());
    solver->log("plain");
    solver->log("two\nlines\n", errorColor());
    EXPECT_TRUE(logView->lines.empty()); // nothing happens before the main queue runs
    drainMainQueue();
    ASSERT_EQ(logView->lines.size(), 2u);
    EXPECT_EQ(logView->lines[0].first, "plain\n");
    EXPECT_TRUE(logView->lines[0].second.isControlText);
    EXPECT_EQ(logView->lines[1].first, "two\nlines\n\n");
    EXPECT_EQ(logView->lines[1].second, errorColor());
    EXPECT_EQ(logView->scrolls, 2);
}

TEST_F(SolverDelegateTest, StatusCallsLogInTheirColourInOrderAndKeepMessagesOnOneLine) {
    solver->busy("\nimage2xy -O x.fits");
    solver->log("simplexy: found 3 sources.");
    solver->busy(); // keeps the message, logs nothing
    solver->failed("\nFailed to solve file");
    solver->done("a\nb\r\nc\n");
    drainMainQueue();
    EXPECT_EQ(solver->status(), "done");
    EXPECT_EQ(solver->message(), "ab\rc");
    const std::vector<std::pair<std::string, Color>> expected{
        {"\nimage2xy -O x.fits\n", warningColor()},
        {"simplexy: found 3 sources.\n", Color::controlText()},
        {"\nFailed to solve file\n", errorColor()},
        {"a\nb\r\nc\n\n", successColor()}};
    EXPECT_EQ(logView->lines, expected);

    solver->failed("\nFailed to solve file");
    solver->busy();
    drainMainQueue();
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_EQ(solver->message(), "Failed to solve file");
}

TEST_F(SolverDelegateTest, ControlsChangeInOrderSolveMenuSolveButtonAbortMenuAbortButton) {
    solver->done();
    drainMainQueue();
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
