#include "http/ServerProcess.h"

#include "platform/Dispatch.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quintarvel {
namespace {

struct SignalState {
    std::mutex mutex; // guards watchers and the installation
    std::vector<ServerProcess::SignalWatcher> watchers;
    std::atomic<bool> observed{false};
};

SignalState &signalState() {
    // Never destroyed: the watcher task and late signals may outlive static destruction.
    static SignalState *state = new SignalState;
    return *state;
}

// Write end of the pipe the handler reports into; -1 until installed.
std::atomic<int> signalPipeWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free fd");

extern "C" void forwardSignal(int signal) {
    const int savedErrno = errno;
    const auto number = static_cast<unsigned char>(signal);
    const int fd = signalPipeWriteEnd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        // A full pipe means thousands of undelivered signals; dropping one is what the kernel
        // does with repeats anyway.
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
    }
    errno = savedErrno;
}

void deliverSignals(int readEnd) {
    unsigned char numbers[64];
    for (;;) {
        const ssize_t got = ::read(readEnd, numbers, sizeof numbers);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        for (ssize_t i = 0; i < got; ++i)
            ServerProcess::handleSignal(numbers[i]);
    }
}

// With the state's mutex held.
void installHandler() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot create the signal pipe");
    // The handler must never block; the reader may.
    ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    signalPipeWriteEnd.store(ends[1]);
    const int readEnd = ends[0];
    globalQueue(DispatchPriority::high).async([readEnd] { deliverSignals(readEnd); });

    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted calls resume, as with signal(3), so no other thread sees a stray EINTR.
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &action, nullptr);
}

} // namespace

std::int64_t ServerProcess::processId() {
    return static_cast<std::int64_t>(::getpid());
}

std::uint64_t ServerProcess::threadId() {
    return static_cast<std::uint64_t>(::gettid());
}

void ServerProcess::addSignalWatcher(SignalWatcher watcher) {
    SignalState &state = signalState();
    std::lock_guard lock(state.mutex);
    if (!state.observed.load()) {
        installHandler();
        state.observed.store(true);
    }
    state.watchers.push_back(std::move(watcher));
}

void ServerProcess::handleSignal(std::int32_t signal) {
    SignalState &state = signalState();
    std::vector<SignalWatcher> watchers;
    {
        // A copy, so watchers run unlocked and may add watchers themselves.
        std::lock_guard lock(state.mutex);
        watchers = state.watchers;
    }
    for (const SignalWatcher &watcher : watchers) {
        if (!watcher)
            continue;
        try {
            watcher(signal);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "Signal watcher failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "Signal watcher failed\n");
        }
    }
}

bool ServerProcess::signalsObserved() {
    return signalState().observed.load();
}

} // namespace quintarvel
