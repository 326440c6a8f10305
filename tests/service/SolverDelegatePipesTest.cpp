#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "platform/Dispatch.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "service/PipeClient.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <future>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>

namespace quintarvel {
namespace {

using Lines = std::vector<std::string>;

// The loop over the fake engine programs, which follow "--fake-..." directives.
class SolverDelegatePipes : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegatePipes() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/engine") {}
    ~SolverDelegatePipes() override {
        // A program that a failing test left running would hold the loop, and the stop, for
        // good.
        solver->abort();
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
    // The answer of a client that opens "request" while another, which writes `goneText`,
    // still holds it, and writes `nextText` once that one has gone away without reading.
    std::optional<Lines> nextAfterOneGoneAway(const std::string &goneText,
                                              const std::string &nextText) {
        test::PipeClient gone(support()), next(support());
        if (!gone.openRequest() || !gone.write(goneText) || !next.openRequest())
            return std::nullopt;
        gone.closeRequest();
        if (!next.write(nextText))
            return std::nullopt;
        next.closeRequest();
        if (!next.openResponse())
            return std::nullopt;
        return next.readLines();
    }
    bool logged(const std::string &text, const Color &color) const {
        return timesLogged(text, color) > 0;
    }
    int timesLogged(const std::string &text, const Color &color) const {
        int times = 0;
        for (const auto &[line, c] : logView->lines)
            times += line == text + "\n" && c == color;
        return times;
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

TEST_F(SolverDelegatePipes, LoopThatEndsLeavesTheStatusToARequestHoldingTheSolver) {
    test::writeFile(support() / "request", "solve-field\n<<<EOF>>>\n");
    ASSERT_TRUE(solver->claimSolver("\nProcessing HTTP request"));
    solver->listenForIPCRequests();
    drainMainQueue();
    EXPECT_TRUE(logged("Failed to create named pipe for interprocess communication", errorColor()));
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_EQ(solver->message(), "Processing HTTP request");
    // The request still holds the solver until it ends.
    EXPECT_FALSE(solver->claimSolver("\nProcessing manual request"));
    solver->done("\nDone in 2.0 seconds");
    EXPECT_EQ(solver->status(), "done");
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

TEST_F(SolverDelegatePipes, RequestHasEndedOnceItsAnswerHas) {
    start();
    // The main queue is not run here: the status must not wait for the window.
    test::PipeClient client(support());
    EXPECT_EQ(client.exchange({"solve-field", "--fake-line", "one"}), (Lines{"one", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "done");
    EXPECT_TRUE(solver->message().starts_with("Done in ")) << solver->message();
    test::PipeClient failing(support());
    EXPECT_EQ(failing.exchange({"solve-field", "--fake-exit", "3"}), Lines{"<<<EOF>>>"});
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Failed to execute solve-field");
    // The next client is served, not told that the solver is busy.
    test::PipeClient next(support());
    EXPECT_EQ(next.exchange({"solve-field", "--fake-line", "two"}), (Lines{"two", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "done");
}

TEST_F(SolverDelegatePipes, ClientHoldingRequestOpenWhileItReadsIsServedOnce) {
    start();
    {
        test::PipeClient client(support());
        ASSERT_TRUE(client.openRequest());
        ASSERT_TRUE(client.openResponse());
        ASSERT_TRUE(
            client.write(test::PipeClient::requestText({"solve-field", "--fake-line", "x"})));
        EXPECT_EQ(client.readLines(), (Lines{"x", "<<<EOF>>>"}));
        drainMainQueue();
        // Its closing of "request" is no request: nothing more comes back, nothing changes.
        client.closeRequest();
        EXPECT_EQ(client.readLines(), Lines{});
    }
    EXPECT_EQ(exchange({"solve-field", "--fake-line", "next"}), (Lines{"next", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "done");
    EXPECT_TRUE(solver->message().starts_with("Done in ")) << solver->message();
    int requests = 0;
    for (const auto &[line, color] : logView->lines)
        requests += line == "\nProcessing IPC request\n";
    EXPECT_EQ(requests, 2) << logView->text();
}

TEST_F(SolverDelegatePipes, ClientThatGoesAwayAfterWritingNeverShiftsLaterAnswers) {
    solver->setPipeLimits({.readerGrace = std::chrono::seconds(2)});
    start();
    const auto request = [](const std::string &line) {
        return test::PipeClient::requestText({"solve-field", "--fake-line", line});
    };
    // The next client opens "request" before the one going away has closed it: the loop never
    // sees the end of input between the two requests.
    EXPECT_EQ(nextAfterOneGoneAway(request("gone"), request("first")),
              (Lines{"first", "<<<EOF>>>"}));
    {
        test::PipeClient gone(support());
        ASSERT_TRUE(gone.openRequest());
        ASSERT_TRUE(gone.write(request("gone again")));
    }
    // The loop lets go of "request" while the answer waits for its reader, so that the next
    // writer waits in its own open.
    const auto requestHasReader = [&] {
        const int fd = ::open((support() / "request").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd != -1)
            ::close(fd);
        return fd != -1 || errno != ENXIO;
    };
    EXPECT_TRUE(drainUntil([&] { return !requestHasReader(); }));
    for (const std::string line : {"second", "third", "fourth"})
        EXPECT_EQ(exchange({"solve-field", "--fake-line", line}), (Lines{line, "<<<EOF>>>"}));
    for (const bool keepRequestOpen : {false, true}) {
        // Opens both, then writes.
        test::PipeClient client(support());
        const std::string line = keepRequestOpen ? "held" : "response first";
        ASSERT_TRUE(client.openRequest());
        ASSERT_TRUE(client.openResponse());
        ASSERT_TRUE(client.write(request(line)));
        if (!keepRequestOpen)
            client.closeRequest();
        EXPECT_EQ(client.readLines(), (Lines{line, "<<<EOF>>>"}));
    }
    drainMainQueue();
    // The answers nobody came for: never run, the solver never claimed for them.
    EXPECT_EQ(timesLogged("Dropped IPC request for solve-field: another request came before its "
                          "reader",
                          errorColor()),
              1)
        << logView->text();
    EXPECT_EQ(
        timesLogged("Dropped IPC request for solve-field: nobody opened response", errorColor()), 1)
        << logView->text();
    EXPECT_EQ(logView->text().find("gone"), std::string::npos) << logView->text();
    int requests = 0;
    for (const auto &[line, color] : logView->lines)
        requests += line == "\nProcessing IPC request\n";
    EXPECT_EQ(requests, 6) << logView->text();
    EXPECT_EQ(solver->status(), "done");
}

TEST_F(SolverDelegatePipes, BlankLinesAfterTheTerminatorEndTheRequestTheyFollow) {
    solver->setPipeLimits({.readerGrace = std::chrono::seconds(2)});
    start();
    const auto request = [](const std::string &line) {
        return test::PipeClient::requestText({"solve-field", "--fake-line", line});
    };
    const auto requestsBegun = [&] {
        return timesLogged("\nProcessing IPC request", warningColor());
    };
    // As `echo`, a here-document or a second printf end a request: the empty lines come in its
    // own write, or in later ones once the loop has read the terminator; the client then closes
    // "request" and reads "response".
    for (const bool laterWrite : {false, true}) {
        const std::string line = laterWrite ? "later write" : "same write";
        test::PipeClient client(support());
        ASSERT_TRUE(client.openRequest());
        ASSERT_TRUE(client.write(request(line) + (laterWrite ? "" : "\n")));
        if (laterWrite) {
            ASSERT_TRUE(drainUntil([&] { return client.requestBytesWaiting() == 0; }));
            ASSERT_TRUE(client.write("\n"));
            ASSERT_TRUE(client.write("\n\n"));
        }
        client.closeRequest();
        ASSERT_TRUE(client.openResponse());
        EXPECT_EQ(client.readLines(), (Lines{line, "<<<EOF>>>"}));
        drainMainQueue();
        EXPECT_EQ(solver->status(), "done") << line;
        EXPECT_TRUE(solver->message().starts_with("Done in ")) << solver->message();
    }
    for (const std::string line : {"next", "after that"})
        EXPECT_EQ(exchange({"solve-field", "--fake-line", line}), (Lines{line, "<<<EOF>>>"}));
    EXPECT_EQ(logView->text().find("Dropped"), std::string::npos) << logView->text();
    EXPECT_EQ(requestsBegun(), 4);

    // One that goes away after its request and blank line while the next already holds
    // "request": the next gets its own request answered.
    EXPECT_EQ(nextAfterOneGoneAway(request("gone") + "\n", request("first")),
              (Lines{"first", "<<<EOF>>>"}));
    drainMainQueue();
    EXPECT_EQ(timesLogged("Dropped IPC request for solve-field: another request came before its "
                          "reader",
                          errorColor()),
              1)
        << logView->text();
    EXPECT_EQ(logView->text().find("nobody opened response"), std::string::npos);
    {
        // One that goes away after them, before the next opens "request".
        test::PipeClient gone(support());
        ASSERT_TRUE(gone.openRequest());
        ASSERT_TRUE(gone.write(request("gone again") + "\n"));
    }
    EXPECT_EQ(exchange({"solve-field", "--fake-line", "second"}), (Lines{"second", "<<<EOF>>>"}));
    EXPECT_EQ(solver->status(), "done");
    EXPECT_EQ(requestsBegun(), 6) << logView->text();
}

TEST_F(SolverDelegatePipes, ReaderThatStopsReadingNeverHoldsTheSolver) {
    start();
    // Far more than "response" and the program's own pipe hold together, then no end of its
    // own.
    const std::string flood =
        test::PipeClient::requestText({"solve-field", "--fake-flood", "4000000", "--fake-sleep"});
    const auto stallingClient = [&](test::PipeClient &client) {
        ASSERT_TRUE(client.openRequest());
        ASSERT_TRUE(client.write(flood));
        client.closeRequest();
        ASSERT_TRUE(client.openResponse());
    };
    const auto ended = [&](int times) {
        return drainUntil(
            [&] { return timesLogged("Failed to execute solve-field", errorColor()) == times; });
    };
    {
        // Abort, while the write waits for the reader, ends the request long before the limit.
        solver->setPipeLimits({.writeIdleLimit = std::chrono::minutes(10)});
        test::PipeClient stalled(support());
        stallingClient(stalled);
        ASSERT_TRUE(drainUntil(
            [&] { return stalled.responseBytesWaiting() + 64 >= stalled.responseCapacity(); }));
        solver->abort();
        ASSERT_TRUE(ended(1));
        EXPECT_EQ(solver->status(), "failed");
        EXPECT_EQ(solver->message(), "Failed to execute solve-field");
    }
    {
        solver->setPipeLimits({.writeIdleLimit = std::chrono::milliseconds(300)});
        test::PipeClient stalled(support());
        stallingClient(stalled);
        // Served once the stalled request has ended, with the stalled reader still there.
        EXPECT_EQ(exchange({"solve-field", "--fake-line", "next"}), (Lines{"next", "<<<EOF>>>"}));
        EXPECT_TRUE(ended(2));
        EXPECT_EQ(solver->status(), "done");
        // The stalled reader gets what the pipe held, cut short, and its end.
        const auto rest = stalled.readLines();
        ASSERT_TRUE(rest && !rest->empty());
        EXPECT_NE(rest->back(), "<<<EOF>>>");
    }
    drainMainQueue();
    EXPECT_EQ(timesLogged("solve-field aborted", errorColor()), 2) << logView->text().size();
}

TEST_F(SolverDelegatePipes, RequestLargerThanThePipeIsServedWhicheverPipeTheClientOpensFirst) {
    start();
    // Three lines of 60000 bytes (one argument may not exceed 128 KiB): more than a pipe holds.
    const std::string big(60000, 'x');
    const Lines request{"solve-field", "--fake-line", big, "--fake-line", big, "--fake-line", big};
    const Lines expected{big, big, big, "<<<EOF>>>"};
    const std::string text = test::PipeClient::requestText(request);
    {
        // Writes all of it, then opens "response".
        test::PipeClient client(support());
        ASSERT_TRUE(client.openRequest());
        ASSERT_TRUE(client.write(text));
        client.closeRequest();
        ASSERT_TRUE(client.openResponse());
        EXPECT_EQ(client.readLines(), expected);
    }
    for (const bool keepRequestOpen : {false, true}) {
        // Opens both, then writes.
        test::PipeClient client(support());
        ASSERT_TRUE(client.openRequest());
        ASSERT_TRUE(client.openResponse());
        ASSERT_TRUE(client.write(text));
        if (!keepRequestOpen)
            client.closeRequest();
        EXPECT_EQ(client.readLines(), expected) << keepRequestOpen;
    }
    EXPECT_EQ(exchange({"solve-field", "--fake-line", "small"}), (Lines{"small", "<<<EOF>>>"}));
}

// The shell client the README shows, exactly as written there.
std::string readmePipeClient() {
    std::ifstream file(QUINTARVEL_TEST_FIXTURES "/../../README.md");
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    const auto marker = text.find("<!-- pipe client -->\n```sh\n");
    if (marker == std::string::npos)
        return {};
    const auto start = text.find('\n', text.find("```sh", marker)) + 1;
    return text.substr(start, text.find("```\n", start) - start);
}

TEST_F(SolverDelegatePipes, ReadmeShellClientRunsAProgram) {
    const std::string script = readmePipeClient();
    ASSERT_FALSE(script.empty());
    test::writeFile(dir / "quintarvel-pipe", script);
    ::chmod((dir / "quintarvel-pipe").c_str(), 0755);
    start();
    Process client;
    auto output = std::make_shared<Pipe>();
    client.setLaunchPath(dir / "quintarvel-pipe");
    client.setArguments({"solve-field", "--fake-line", "from the shell", "--fake-line", ""});
    client.setEnvironment({{"QUINTARVEL_PIPES", support().string()}, {"PATH", "/usr/bin:/bin"}});
    client.setStandardOutput(output);
    client.launch();
    std::string text;
    for (;;) {
        pollfd ready{output->fileHandleForReading().fileDescriptor(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 60000), 1);
        const auto bytes = output->fileHandleForReading().readDataOfLength(4096);
        if (bytes.empty())
            break;
        text.append(bytes.begin(), bytes.end());
    }
    EXPECT_EQ(client.waitUntilExit(), 0);
    EXPECT_EQ(text, "from the shell\n\n<<<EOF>>>\n");
    drainMainQueue();
    EXPECT_EQ(solver->status(), "done");
}

// The resident memory of this process, in bytes.
std::size_t residentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stoul(line.substr(6)) * 1024;
    return 0;
}

TEST_F(SolverDelegatePipes, RequestOverTheLimitIsRefusedAndNeverHeldInMemory) {
    start();
    const auto refused = [](const std::optional<Lines> &answer) {
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->size(), 2u);
        EXPECT_TRUE(answer->front().starts_with("message: ")) << answer->front();
        EXPECT_NE(answer->front().find("too large"), std::string::npos) << answer->front();
        EXPECT_EQ(answer->back(), "<<<EOF>>>");
    };
    // More than 1 MiB, all written before "response" is opened.
    refused(exchange({"solve-field", "--fake-line", std::string(std::size_t(1) << 20, 'y')}));
    // More than 4,096 lines.
    refused(exchange(Lines(4097, "--fake-line")));
    EXPECT_EQ(solver->status(), "ready");

    // A client that sends far more than the limit: what the loop holds stays bounded.
    constexpr std::size_t sent = std::size_t(64) << 20;
    const std::size_t before = residentBytes();
    test::PipeClient client(support());
    ASSERT_TRUE(client.openRequest());
    ASSERT_TRUE(client.openResponse());
    const std::string chunk(std::size_t(1) << 20, '\0');
    for (std::size_t written = 0; written < sent; written += chunk.size())
        ASSERT_TRUE(client.write(chunk));
    ASSERT_TRUE(client.write("\n<<<EOF>>>\n"));
    refused(client.readLines());
    EXPECT_LT(residentBytes(), before + sent / 4);

    EXPECT_EQ(exchange({"solve-field", "--fake-line", "served"}), (Lines{"served", "<<<EOF>>>"}));
}

} // namespace
} // namespace quintarvel
