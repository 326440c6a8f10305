#pragma once

#include <cstdint>
#include <functional>

namespace quintarvel {

// Process-wide facilities of the server: the process and thread ids, and watchers of the
// signals that ask a process to stop (SIGTERM, SIGHUP, SIGINT).
//
// Watchers never run in signal context. The installed handler only writes the signal number
// into a close-on-exec pipe (write is async-signal-safe); one long-lived task on a global
// dispatch queue reads it and calls every watcher there, on that ordinary thread, so a watcher
// may take locks, log or stop a server. Each watcher is called once per delivered signal, in
// the order added, with the signal number. The kernel merges repeats of one signal that arrive
// before the first is handled, as it does for any standard signal.
//
// Only those three signals are touched, and they are caught, never ignored: a caught signal
// reverts to its default action in any program the process executes, so engine children keep
// the default behaviour. SIGPIPE is left alone (sockets avoid it per call).
class ServerProcess {
  public:
    using SignalWatcher = std::function<void(std::int32_t signal)>;

    // getpid(): the same on every thread.
    static std::int64_t processId();
    // The calling thread's kernel id (gettid): unique system-wide among live threads and fixed
    // for the thread's life.
    static std::uint64_t threadId();

    // On the first call installs the handler for SIGTERM, SIGHUP and SIGINT (in that order) and
    // starts the task that calls the watchers; then appends the watcher. From then on those
    // signals no longer end the process: only the watchers run. Thread-safe; a watcher may add
    // further watchers, which are called from the next signal on. Throws std::system_error if
    // the pipe cannot be made (nothing is installed then and the watcher is not added).
    static void addSignalWatcher(SignalWatcher watcher);

    // Calls every watcher, in the order added, with the signal number, on the calling thread.
    // The watcher task calls it for each signal received; a watcher that throws is reported on
    // standard error and the others still run.
    static void handleSignal(std::int32_t signal);

    // Whether the handler has been installed. Goes from false to true once.
    static bool signalsObserved();
};

} // namespace quintarvel
