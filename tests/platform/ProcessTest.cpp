#include "platform/Process.h"

#include "platform/Pipe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unistd.h>

namespace quintarvel {
namespace {

using Reason = Process::TerminationReason;

// Everything the program writes until the end of its output.
std::string readAll(FileHandle &handle) {
    std::string text;
    for (auto bytes = handle.readDataOfLength(4096); !bytes.empty();
         bytes = handle.readDataOfLength(4096))
        text.append(bytes.begin(), bytes.end());
    return text;
}

struct Run {
    std::string output;
    int status;
    Reason reason;
};

// Runs a program with standard output and error on one pipe, to its end.
Run runToEnd(std::string path, std::vector<std::string> arguments,
             std::function<void(Process &)> setUp = nullptr) {
    Process process;
    process.setLaunchPath(std::move(path));
    process.setArguments(std::move(arguments));
    if (setUp)
        setUp(process);
    auto pipe = std::make_shared<Pipe>();
    process.setStandardOutput(pipe);
    process.setStandardError(pipe);
    process.launch();
    std::string output = readAll(pipe->fileHandleForReading());
    const int status = process.waitUntilExit();
    return {output, status, process.terminationReason()};
}

TEST(Process, OutputOnOnePipeAndExitCodeOrSignalAsDistinctOutcomes) {
    auto exited = runToEnd("/bin/sh", {"-c", "echo one; echo two >&2; echo three; exit 3"});
    EXPECT_EQ(exited.output, "one\ntwo\nthree\n");
    EXPECT_EQ(exited.status, 3);
    EXPECT_EQ(exited.reason, Reason::exit);

    auto killed = runToEnd("/bin/sh", {"-c", "kill -KILL $$"});
    EXPECT_EQ(killed.status, SIGKILL);
    EXPECT_EQ(killed.reason, Reason::uncaughtSignal);
}

TEST(Process, ArgumentsEnvironmentAndWorkingFolderAreExactlyAsGiven) {
    // No shell: blanks, quotes, stars and dollars reach the program untouched.
    EXPECT_EQ(runToEnd("/usr/bin/printf", {"<%s>\\n", "a  b", "", "$HOME", "*", "'q'"}).output,
              "<a  b>\n<>\n<$HOME>\n<*>\n<'q'>\n");
    EXPECT_EQ(runToEnd("/usr/bin/env", {},
                       [](Process &p) {
                           p.setEnvironment({{"TMP", "/some/where/"}});
                       })
                  .output,
              "TMP=/some/where/\n");
    test::TempDir dir;
    EXPECT_EQ(
        runToEnd("/bin/pwd", {"-P"}, [&](Process &p) { p.setCurrentDirectory(dir.path()); }).output,
        std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST(Process, ChildGetsOnlyTheStandardStreamsWithDefaultSignalHandling) {
    // A descriptor someone opened without close-on-exec still stays out of the child.
    int leaky[2];
    ASSERT_EQ(::pipe(leaky), 0);
    auto listing = runToEnd("/bin/ls", {"-1", "/proc/self/fd"});
    ::close(leaky[0]);
    ::close(leaky[1]);
    EXPECT_EQ(listing.output, "0\n1\n2\n3\n"); // 3 is the folder ls itself opened to list

    auto previous = std::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, old;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    auto run = runToEnd("/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"});
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    std::signal(SIGPIPE, previous);
    ASSERT_EQ(run.output.size(), 50u) << run.output;
    EXPECT_EQ(run.output.substr(0, 25), "SigBlk:\t0000000000000000\n");
    // The C library itself ignores its two private signals (32, 33) in every spawned child.
    const auto ignored = std::stoull(run.output.substr(33, 16), nullptr, 16);
    EXPECT_EQ(ignored & ~0x180000000ull, 0u) << run.output;
}

TEST(Process, TerminateEndsTheProgramAndTheHelpersItStarted) {
    Process process;
    process.terminate(); // before launch: nothing
    process.setLaunchPath("/bin/sh");
    // The sleeping helper holds the pipe too: the output ends only when it is gone.
    process.setArguments({"-c", "sleep 3600 & echo started; wait"});
    auto pipe = std::make_shared<Pipe>();
    process.setStandardOutput(pipe);
    process.launch();
    EXPECT_GT(process.processIdentifier(), 0);
    auto &reading = pipe->fileHandleForReading();
    EXPECT_EQ(reading.readDataOfLength(8).size(), 8u); // "started\n"
    process.terminate();
    EXPECT_EQ(readAll(reading), "");
    EXPECT_EQ(process.waitUntilExit(), SIGTERM);
    EXPECT_EQ(process.terminationReason(), Reason::uncaughtSignal);
    process.terminate(); // once ended: nothing
    EXPECT_EQ(process.waitUntilExit(), SIGTERM);
}

TEST(Process, LaunchFailuresThrowAndStartNothing) {
    test::TempDir dir;
    test::writeFile(dir / "plain", "#!/bin/sh\n");
    const struct {
        std::filesystem::path program, folder;
        std::string argument;
        int error;
    } cases[] = {
        {dir / "missing", "", "", ENOENT},
        {dir / "plain", "", "", EACCES},
        {"/bin/true", dir / "missing", "", ENOENT},
        {"/bin/true", "", std::string("a\0b", 3), EINVAL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.program.string() + " " + c.folder.string());
        Process process;
        process.setLaunchPath(c.program);
        process.setArguments({c.argument});
        if (!c.folder.empty())
            process.setCurrentDirectory(c.folder);
        try {
            process.launch();
            ADD_FAILURE() << "launched";
        } catch (const std::system_error &e) {
            EXPECT_EQ(e.code().value(), c.error);
        }
        EXPECT_THROW(process.waitUntilExit(), std::logic_error);
        process.terminate();
    }
}

} // namespace
} // namespace quintarvel
