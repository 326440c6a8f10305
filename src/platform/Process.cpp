#include "platform/Process.h"

#include "platform/Dispatch.h"
#include "platform/Pipe.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char **environ;

namespace quintarvel {
namespace {

[[noreturn]] void fail(int error, const std::string &what) {
    throw std::system_error(error, std::generic_category(), what);
}

bool holdsZeroByte(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

// posix_spawn's set-ups, released however launch ends.
struct SpawnSetup {
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        for (int fd : temporaryDescriptors)
            ::close(fd);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    std::vector<int> temporaryDescriptors;
};

// Makes the pipe's writing end the child's descriptor `target`. A writing end that is itself
// a standard descriptor (this process started with one closed) is first copied above them,
// so the child's dup2 never meets itself and keeps close-on-exec set.
void redirect(SpawnSetup &setup, Pipe &pipe, int target) {
    int fd = pipe.fileHandleForWriting().fileDescriptor();
    if (fd < 0)
        fail(EBADF, "pipe already closed");
    if (fd <= STDERR_FILENO) {
        fd = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (fd < 0)
            fail(errno, "fcntl");
        setup.temporaryDescriptors.push_back(fd);
    }
    if (int rc = posix_spawn_file_actions_adddup2(&setup.actions, fd, target); rc != 0)
        fail(rc, "posix_spawn_file_actions_adddup2");
}

} // namespace

Process::Process() = default;

Process::~Process() {
    if (state_ != State::running)
        return;
    // A zombie left behind would stay until this process ends.
    if (::waitpid(pid_, nullptr, WNOHANG) != 0)
        return;
    globalQueue(DispatchPriority::background).async([pid = pid_] {
        while (::waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
    });
}

void Process::launch() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::ready)
            throw std::logic_error("process already launched");
    }
    const std::string path = launchPath_.string();
    if (path.empty() || holdsZeroByte(path))
        fail(EINVAL, "launch path");
    std::vector<std::string> argumentTexts{path};
    for (const auto &argument : arguments_) {
        if (holdsZeroByte(argument))
            fail(EINVAL, "argument holds a zero byte");
        argumentTexts.push_back(argument);
    }
    std::vector<std::string> environmentTexts;
    if (environment_) {
        for (const auto &[name, value] : *environment_) {
            if (name.empty() || name.find('=') != std::string::npos || holdsZeroByte(name) ||
                holdsZeroByte(value))
                fail(EINVAL, "environment variable " + name);
            environmentTexts.push_back(name + "=" + value);
        }
    }

    SpawnSetup setup;
    if (standardOutput_)
        redirect(setup, *standardOutput_, STDOUT_FILENO);
    if (standardError_)
        redirect(setup, *standardError_, STDERR_FILENO);
    if (currentDirectory_) {
        const std::string folder = currentDirectory_->string();
        if (holdsZeroByte(folder))
            fail(EINVAL, "working folder");
        if (int rc = posix_spawn_file_actions_addchdir_np(&setup.actions, folder.c_str()); rc != 0)
            fail(rc, "posix_spawn_file_actions_addchdir_np");
    }
    // Close-on-exec everywhere is the rule; this also covers a library that broke it.
    if (int rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
        rc != 0)
        fail(rc, "posix_spawn_file_actions_addclosefrom_np");

    // Every signal the program can see gets its default action; the C library's own
    // signals (between the classic ones and SIGRTMIN) are left to it.
    sigset_t none, all;
    sigemptyset(&none);
    sigemptyset(&all);
    for (int signal = 1; signal < NSIG; ++signal)
        if ((signal < 32 || signal >= SIGRTMIN) && signal != SIGKILL && signal != SIGSTOP)
            sigaddset(&all, signal);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                    POSIX_SPAWN_SETPGROUP);

    std::vector<char *> argv;
    for (auto &text : argumentTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &text : environmentTexts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(),
                         environment_ ? envp.data() : environ);
    if (rc != 0)
        fail(rc, "cannot start " + path);
    {
        std::lock_guard lock(mutex_);
        pid_ = pid;
        state_ = State::running;
    }
    for (const auto &pipe : {standardOutput_, standardError_})
        if (pipe)
            pipe->fileHandleForWriting().closeFile();
}

void Process::terminate() {
    signalGroup(SIGTERM);
}

void Process::kill() {
    signalGroup(SIGKILL);
}

void Process::signalGroup(int signal) {
    std::lock_guard lock(mutex_);
    // While the child is not reaped, its pid and group id cannot name anyone else.
    if (state_ != State::running)
        return;
    if (::kill(-pid_, signal) != 0)
        ::kill(pid_, signal);
}

bool Process::waitUntilExit(std::chrono::milliseconds timeout) {
    pid_t pid;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::ready)
            throw std::logic_error("process not launched");
        if (state_ == State::ended)
            return true;
        pid = pid_;
    }
    // The child is not reaped before `waitUntilExit` below, so the pid still names it.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto remaining = [&] {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::int64_t>(0, left.count()));
    };
    // Through syscall: this C library's header declares pidfd_open without C linkage for C++.
    if (const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); fd >= 0) {
        pollfd ended{fd, POLLIN, 0};
        int rc;
        while ((rc = ::poll(&ended, 1, remaining())) == -1 && errno == EINTR) {
        }
        ::close(fd);
        if (rc == 0)
            return false;
    } else if (errno != ESRCH) {
        // A kernel without process descriptors: look now and then.
        for (;;) {
            siginfo_t info{};
            const int rc =
                ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
            if (rc == -1 && errno == EINTR)
                continue;
            if (rc == -1 || info.si_pid != 0)
                break;
            if (remaining() == 0)
                return false;
            ::usleep(10000);
        }
    }
    waitUntilExit();
    return true;
}

int Process::waitUntilExit() {
    pid_t pid;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::ready)
            throw std::logic_error("process not launched");
        if (state_ == State::ended)
            return status_;
        pid = pid_;
    }
    // Wait without reaping, so `terminate` can never signal a recycled pid.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == -1 &&
           errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    if (state_ == State::ended)
        return status_;
    int wstatus = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(pid, &wstatus, 0)) == -1 && errno == EINTR) {
    }
    if (reaped == pid && WIFEXITED(wstatus)) {
        reason_ = TerminationReason::exit;
        status_ = WEXITSTATUS(wstatus);
    } else if (reaped == pid && WIFSIGNALED(wstatus)) {
        reason_ = TerminationReason::uncaughtSignal;
        status_ = WTERMSIG(wstatus);
    } else {
        reason_ = TerminationReason::unknown;
        status_ = -1;
    }
    state_ = State::ended;
    return status_;
}

int Process::terminationStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

Process::TerminationReason Process::terminationReason() const {
    std::lock_guard lock(mutex_);
    return reason_;
}

pid_t Process::processIdentifier() const {
    std::lock_guard lock(mutex_);
    return pid_;
}

} // namespace quintarvel
