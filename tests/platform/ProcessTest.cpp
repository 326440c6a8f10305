#include "platform/Process.h"

#include "platform/Pipe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
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
    for (;;) {
        auto bytes = handle.readDataOfLength(4096);
        if (bytes.empty())
            return text;
        text.append(bytes.begin(), bytes.end());
    }
}

struct Run {
    std::string output;
    int status;
    Reason reason;
};

// Runs a program with standard output and error on one pipe, to its end.
Run runToEnd(Process &process) {
    auto pipe = std::make_shared<Pipe>();
    process.setStandardOutput(pipe);
    process.setStandardError(pipe);
    process.launch();
    Run run;
    run.output = readAll(pipe->fileHandleForReading());
    run.status = process.waitUntilExit();
    run.reason = process.terminationReason();
    return run;
}

Run runToEnd(std::string path, std::vector<std::string> arguments) {
    Process process;
    process.setLaunchPath(std::move(path));
    process.setArguments(std::move(arguments));
    return runToEnd(process);
}

TEST(Process, ExitCodeAndSignalAreDistinctOutcomes) {
    auto exited = runToEnd("/bin/sh", {"-c", "exit 3"});
    EXPECT_EQ(exited.status, 3);
    EXPECT_EQ(exited.reason, Reason::exit);

    auto killed = runToEnd("/bin/sh", {"-c", "kill -KILL $$"});
    EXPECT_EQ(killed.status, SIGKILL);
    EXPECT_EQ(killed.reason, Reason::uncaughtSignal);

    auto fine = runToEnd("/bin/true", {});
    EXPECT_EQ(fine.status, 0);
    EXPECT_EQ(fine.reason, Reason::exit);
}

TEST(Process, ArgumentsEnvironmentAndWorkingFolderAreExactlyAsGiven) {
    // No shell: blanks, quotes, stars and dollars reach the program untouched.
    auto printed = runToEnd("/usr/bin/printf", {"<%s>\\n", "a  b", "", "$HOME", "*", "'q'"});
    EXPECT_EQ(printed.output, "<a  b>\n<>\n<$HOME>\n<*>\n<'q'>\n");

    Process environment;
    environment.setLaunchPath("/usr/bin/env");
    environment.setEnvironment({{"TMP", "/some/where/"}});
    EXPECT_EQ(runToEnd(environment).output, "TMP=/some/where/\n");

    test::TempDir dir;
    Process folder;
    folder.setLaunchPath("/bin/pwd");
    folder.setArguments({"-P"});
    folder.setCurrentDirectory(dir.path());
    EXPECT_EQ(runToEnd(folder).output, std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST(Process, StandardOutputAndErrorArriveInOneSequence) {
    auto run = runToEnd("/bin/sh", {"-c", "echo one; echo two >&2; echo three"});
    EXPECT_EQ(run.output, "one\ntwo\nthree\n");
}

TEST(Process, ChildGetsOnlyTheStandardStreams) {
    // A descriptor someone opened without close-on-exec still stays out of the child.
    int leaky[2];
    ASSERT_EQ(::pipe(leaky), 0);
    auto run = runToEnd("/bin/ls", {"-1", "/proc/self/fd"});
    ::close(leaky[0]);
    ::close(leaky[1]);
    // 3 is the folder ls itself opened to list.
    EXPECT_EQ(run.output, "0\n1\n2\n3\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Process, ChildStartsWithDefaultSignalHandling) {
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
    auto launchError = [](Process &process) {
        try {
            process.launch();
        } catch (const std::system_error &e) {
            return e.code().value();
        }
        return 0;
    };

    Process missing;
    missing.setLaunchPath(dir / "missing");
    EXPECT_EQ(launchError(missing), ENOENT);
    EXPECT_THROW(missing.waitUntilExit(), std::logic_error);
    missing.terminate();

    Process notExecutable;
    notExecutable.setLaunchPath(dir / "plain");
    EXPECT_EQ(launchError(notExecutable), EACCES);

    Process noFolder;
    noFolder.setLaunchPath("/bin/true");
    noFolder.setCurrentDirectory(dir / "missing");
    EXPECT_EQ(launchError(noFolder), ENOENT);

    Process zeroByte;
    zeroByte.setLaunchPath("/bin/true");
    zeroByte.setArguments({std::string("a\0b", 3)});
    EXPECT_EQ(launchError(zeroByte), EINVAL);
}

} // namespace
} // namespace quintarvel
