#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "platform/Dispatch.h"
#include "service/PipeClient.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/stat.h>

namespace quintarvel {
namespace {

using Lines = std::vector<std::string>;

// The loop over the fake engine programs, which follow "--fake-..." directives.
class SolverDelegatePipes : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegatePipes() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/engine") {}
    ~SolverDelegatePipes() override {
        stop();
        // A run that failed leaves its task, and the task its output pipe, with the solver.
        solver->setTask(nullptr);
        EXPECT_EQ(test::openDescriptors(), descriptorsBefore);
    }

    std::filesystem::path support() const { return solver->paths().supportFolder; }
    // The pipes are made here unless asked not to, so that a client never comes before
    // them; the loop reuses them as it would pipes of an earlier run.
    void start(bool makePipes = true) {
        if (makePipes) {
            ::mkfifo((support() / "request").c_str(), 0666);
            ::mkfifo((support() / "response").c_str(), 0666);
        }
        ended = loopEnded.get_future();
        globalQueue().async([this, solver = solver] {
            solver->listenForIPCRequests();
            loopEnded.set_value();
        });
        // Once the loop has begun, stopServices waits for it.
        while (!logged("IPC listener started", successColor()))
            ASSERT_GT(mainQueue().drainFor(std::chrono::seconds(60)), 0u);
        logView->lines.clear();
    }
    void stop() {
        solver->stopServices();
        if (ended.valid()) {
            EXPECT_EQ(ended.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        }
        drainMainQueue();
    }
    std::optional<Lines> exchange(const Lines &lines) {
        test::PipeClient client(support());
        auto answer = client.exchange(lines);
        drainMainQueue();
        return answer;
    }
    bool logged(const std::string &text, const Color &color) const {
        for (const auto &[line, c] : logView->lines)
            if (line == text + "\n" && c == color)
                return true;
        return false;
    }

    const std::size_t descriptorsBefore = test::openDescriptors();
    std::promise<void> loopEnded;
    std::future<void> ended;
};

TEST_F(SolverDelegatePipes, EveryAnswerEndsWithTheTerminatorWhateverTheProgramDoes) {
    start();
    EXPECT_EQ(
        exchange({"solve-field", "--fake-line", "one", "--fake-line", "", "--fake-line", "two\r"}),
        (Lines{"one", "", "two\r", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "done");
    EXPECT_TRUE(solver->message().starts_with("Done in ")) << solver->message();
    EXPECT_TRUE(logged("\nProcessing IPC request", warningColor()));

    EXPECT_EQ(exchange({"solve-field", "--fake-line", "so far", "--fake-exit", "3"}),
              (Lines{"so far", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Failed to execute solve-field");
    EXPECT_EQ(exchange({"../../bin/sh", "-c", "echo no"}), Lines{"<<<EOF>>>"});
    EXPECT_EQ(solver->message(), "Failed to execute ../../bin/sh");
}

TEST_F(SolverDelegatePipes, RequestCutShortEmptyOrWhileBusyLeavesTheLoopServing) {
    start();
    {
        test::PipeClient client(support());
        ASSERT_TRUE(client.openRequest());
        client.write("solve-field\n--fake-line\n");
        ASSERT_TRUE(client.openResponse());
        client.closeRequest();
        EXPECT_EQ(client.readLines(), Lines{});
    }
    drainMainQueue();
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Processing IPC request");
    EXPECT_EQ(exchange({}), (Lines{"message: Invalid request", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Invalid request");
    EXPECT_EQ(exchange({"solve-field", "--fake-line", "served"}), (Lines{"served", "<<<EOF>>>"}));

    // A busy solver answers two lines and is left as it was.
    solver->setStatus("busy");
    solver->setMessage("Processing HTTP request");
    EXPECT_EQ(exchange({"solve-field", "--fake-line", "never"}),
              (Lines{"message: Solver is busy", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_EQ(solver->message(), "Processing HTTP request");
}

TEST_F(SolverDelegatePipes, PipeThatCannotBeOpenedEndsTheLoop) {
    // A plain file where the request pipe belongs would otherwise be "opened" over and over.
    test::writeFile(support() / "request", "solve-field\n<<<EOF>>>\n");
    solver->listenForIPCRequests();
    drainMainQueue();
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Failed to create named pipe for interprocess communication");
    std::filesystem::remove_all(support());
    solver->setStatus("ready");
    solver->listenForIPCRequests();
    drainMainQueue();
    EXPECT_EQ(solver->message(), "Failed to create named pipe for interprocess communication");
}

TEST_F(SolverDelegatePipes, StopEndsALoopWaitingForEitherPipe) {
    start(false); // the loop makes its pipes
    stop();       // waiting for a writer of "request"
    for (const char *name : {"request", "response"}) {
        struct stat info {};
        ASSERT_EQ(::stat((support() / name).c_str(), &info), 0) << name;
        EXPECT_TRUE(S_ISFIFO(info.st_mode)) << name;
    }

    loopEnded = {};
    start();
    test::PipeClient client(support());
    ASSERT_TRUE(client.openRequest());
    stop(); // waiting for a reader of "response"
    EXPECT_EQ(solver->status(), "ready");
}

} // namespace
} // namespace quintarvel
