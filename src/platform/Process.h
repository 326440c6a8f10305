#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quintarvel {

class Pipe;

// A child process: the stand-in for the platform's task object. Set it up on one thread,
// launch it once, then wait for it there; `terminate` and `kill` may come from any thread.
//
// The program is started with posix_spawn, never through a shell, with argv[0] = the
// launch path. It gets default signal handling and no blocked signal, whatever this process
// has set, and no descriptor of this process but its three standard streams. It leads a
// process group of its own, so `terminate` also reaches the helpers it starts itself
// (solve-field hands its work to a child of its own).
class Process {
  public:
    // How the program ended. `unknown` only when the status was lost (someone else reaped
    // the child); `terminationStatus` is -1 then.
    enum class TerminationReason { exit, uncaughtSignal, unknown };

    Process();
    // A program still running is not stopped: it is reaped in the background when it ends.
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    void setLaunchPath(std::filesystem::path path) { launchPath_ = std::move(path); }
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    // Exactly these variables. Unset: this process's environment.
    void setEnvironment(std::map<std::string, std::string> environment) {
        environment_ = std::move(environment);
    }
    // Unset: this process's working folder.
    void setCurrentDirectory(std::filesystem::path folder) {
        currentDirectory_ = std::move(folder);
    }
    // The pipe's writing end becomes the stream; launch closes this process's copy of it,
    // so its reader sees the end of input once the program (and its children) are gone.
    // Unset: the stream is this process's own.
    void setStandardOutput(std::shared_ptr<Pipe> pipe) { standardOutput_ = std::move(pipe); }
    void setStandardError(std::shared_ptr<Pipe> pipe) { standardError_ = std::move(pipe); }

    // Starts the program. Throws std::system_error when it cannot be started (no such file,
    // not executable, no such working folder, a zero byte in an argument, ...), and
    // std::logic_error on a second launch.
    void launch();

    // Sends SIGTERM to the program and its process group. Nothing before launch or once the
    // program's end has been taken.
    void terminate();
    // Sends SIGKILL instead: for a program that has outrun a ceiling and may ignore SIGTERM.
    void kill();

    // Waits for the program to end and gives `terminationStatus`. Throws std::logic_error
    // before launch.
    int waitUntilExit();
    // Waits at most `timeout` for the program to end. True once it has ended, its status then
    // taken as by `waitUntilExit`; false while it still runs. Throws std::logic_error before
    // launch.
    bool waitUntilExit(std::chrono::milliseconds timeout);
    // The exit code when the program exited, the signal number when a signal ended it.
    // Valid after `waitUntilExit`.
    int terminationStatus() const;
    TerminationReason terminationReason() const;
    // 0 before launch.
    pid_t processIdentifier() const;

  private:
    void signalGroup(int signal);

    enum class State { ready, running, ended };

    std::filesystem::path launchPath_;
    std::vector<std::string> arguments_;
    std::optional<std::map<std::string, std::string>> environment_;
    std::optional<std::filesystem::path> currentDirectory_;
    std::shared_ptr<Pipe> standardOutput_;
    std::shared_ptr<Pipe> standardError_;

    mutable std::mutex mutex_; // guards every field below
    State state_ = State::ready;
    pid_t pid_ = 0;
    int status_ = -1;
    TerminationReason reason_ = TerminationReason::unknown;
};

} // namespace quintarvel
