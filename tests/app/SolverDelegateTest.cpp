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

TEST_F(SolverDelegateTest, StatusCallsLogInTheirColourInOrderOnTheMainQueueOnly) {
    EXPECT_EQ(solver->status(), "ready");
    EXPECT_FALSE(solver->raCenter() || solver->parity() || solver->task());
    solver->busy("\nimage2xy -O x.fits");
    solver->log("simplexy: found 3 sources.");
    solver->busy(); // keeps the message, logs nothing
    solver->failed("\nFailed to solve file");
    solver->done("a\nb\r\nc\n");
    EXPECT_TRUE(logView->lines.empty()); // nothing happens before the main queue runs
    drainMainQueue();
    EXPECT_EQ(solver->status(), "done");
    EXPECT_EQ(solver->message(), "ab\rc"); // without line feeds
    const std::vector<std::pair<std::string, Color>> expected{
        {"\nimage2xy -O x.fits\n", warningColor()},
        {"simplexy: found 3 sources.\n", Color::controlText()},
        {"\nFailed to solve file\n", errorColor()},
        {"a\nb\r\nc\n\n", successColor()}};
    EXPECT_EQ(logView->lines, expected);
    EXPECT_EQ(logView->scrolls, 4);

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
