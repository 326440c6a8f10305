#include "http/ServerProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace quintarvel {
namespace {

TEST(ServerProcess, ProcessIdIsSharedThreadIdIsPerThread) {
    EXPECT_EQ(ServerProcess::threadId(), static_cast<std::uint64_t>(::gettid()));
    std::pair<std::int64_t, std::uint64_t> other;
    std::thread([&] { other = {ServerProcess::processId(), ServerProcess::threadId()}; }).join();
    EXPECT_EQ(other.first, ::getpid());
    EXPECT_NE(other.second, ServerProcess::threadId());
}

// Records watcher calls as "signal/watcher" words and lets the test wait for a count.
class CallLog {
  public:
    ServerProcess::SignalWatcher watcher(int number) {
        return [this, number](std::int32_t signal) {
            std::lock_guard lock(mutex_);
            text_ += " " + std::to_string(signal) + "/" + std::to_string(number);
            ++count_;
            changed_.notify_all();
        };
    }
    // The log once `count` calls have been made, or "timed out" with what came.
    std::string await(int count) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::minutes(1), [&] { return count_ >= count; }))
            return "timed out:" + text_;
        return text_;
    }

  private:
    std::mutex mutex_; // guards text_ and count_
    std::condition_variable changed_;
    std::string text_;
    int count_ = 0;
};

// Handlers installed here would stay for the rest of the test binary, so every scenario that
// installs them runs in a child process of its own and prints what it saw.
[[noreturn]] void report(const std::string &text) {
    std::fprintf(stderr, "seen:%s.\n", text.c_str());
    std::_Exit(0);
}

class ServerProcessSignals : public ::testing::Test {
  protected:
    // The child re-runs the test binary from its start, so it holds no other test's threads.
    void SetUp() override {
        style_ = GTEST_FLAG_GET(death_test_style);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override { GTEST_FLAG_SET(death_test_style, style_); }

  private:
    std::string style_;
};

TEST_F(ServerProcessSignals, WatchersRunOncePerSignalInOrderAddedEvenWhenOneThrows) {
    auto scenario = [] {
        if (ServerProcess::signalsObserved())
            report("observed before any watcher");
        CallLog log;
        ServerProcess::addSignalWatcher([](std::int32_t) { throw std::runtime_error("boom"); });
        ServerProcess::addSignalWatcher(log.watcher(1));
        ServerProcess::addSignalWatcher(log.watcher(2));
        // A watcher that adds another one while a signal is handled must not deadlock; the new
        // one runs from the next signal on.
        ServerProcess::addSignalWatcher([&log](std::int32_t) {
            static bool added = false;
            if (!added) {
                added = true;
                ServerProcess::addSignalWatcher(log.watcher(3));
            }
        });
        if (!ServerProcess::signalsObserved())
            report("not observed");
        std::raise(SIGINT);
        log.await(2);
        std::raise(SIGTERM);
        log.await(5);
        std::raise(SIGHUP);
        report(log.await(8));
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0),
                "Signal watcher failed: boom\n.*seen: 2/1 2/2 15/1 15/2 15/3 1/1 1/2 1/3[.]");
}

TEST_F(ServerProcessSignals, ChildProgramsKeepTheDefaultAction) {
    auto scenario = [] {
        CallLog log;
        ServerProcess::addSignalWatcher(log.watcher(1));
        const char *argv[] = {"sh", "-c", "kill -TERM $$; exit 3", nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ))
            report("spawn failed");
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFSIGNALED(status))
            report(" child ended by " + std::to_string(WTERMSIG(status)));
        report(" child exited with " + std::to_string(WEXITSTATUS(status)));
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "seen: child ended by 15[.]");
}

} // namespace
} // namespace quintarvel
