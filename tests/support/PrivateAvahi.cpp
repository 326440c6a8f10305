#include "support/PrivateAvahi.h"

#include "support/TempDir.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quintarvel::test {
namespace {

// Bound on waiting for a daemon, so a broken one fails the test instead of hanging it.
constexpr auto patience = std::chrono::seconds(60);
constexpr int patienceMs = 60'000;

const std::string fixtures = QUINTARVEL_TEST_FIXTURES;

bool onPath(const std::string &program) {
    for (const char *dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"})
        if (access((std::string(dir) + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

const std::filesystem::path &busFolder() {
    static TempDir folder; // one per process: libdbus reads the address only once
    return folder.path();
}

// Starts a program with standard input from /dev/null, standard output and error to `out`,
// and `fd3` (when not -1) as its descriptor 3.
pid_t spawn(const std::vector<std::string> &args, int out, int fd3 = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    if (fd3 != -1)
        posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

void terminate(pid_t &pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
    pid = -1;
}

// Appends what one read gives; false at the end of input or after `timeoutMs` (-1: none) of
// silence.
bool readSome(int fd, std::string &into, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    while ((rc = poll(&p, 1, timeoutMs)) == -1 && errno == EINTR) {
    }
    if (rc <= 0)
        return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

} // namespace

struct PrivateAvahi::Output {
    mutable std::mutex mutex; // guards text and ended
    std::condition_variable changed;
    std::string text;
    bool ended = false;
};

PrivateAvahi::PrivateAvahi() {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress().c_str(), 1);
}

PrivateAvahi::~PrivateAvahi() {
    stopAvahi();
    stopBus();
}

const std::string &PrivateAvahi::busAddress() {
    static const std::string address = "unix:path=" + (busFolder() / "bus").string();
    return address;
}

std::optional<std::string> PrivateAvahi::unavailableReason() {
    if (geteuid() != 0)
        return "avahi-daemon needs root for its own mount namespace";
    for (const char *program : {"dbus-daemon", "avahi-daemon", "avahi-browse", "unshare"})
        if (!onPath(program))
            return std::string(program) + " is not installed (scripts/setup installs it)";
    return std::nullopt;
}

std::string PrivateAvahi::uniqueName(const std::string &base) {
    return base + "-" + std::to_string(getpid());
}

void PrivateAvahi::startBus() {
    if (busPid_ > 0)
        return;
    std::filesystem::remove(busFolder() / "bus");
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int log =
        open((busFolder() / "dbus.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    busPid_ = spawn({"dbus-daemon", "--config-file=" + fixtures + "/avahi/private-bus.conf",
                     "--address=" + busAddress(), "--nofork", "--nopidfile", "--print-address=3"},
                    log, ready[1]);
    close(log);
    close(ready[1]);
    // The daemon prints its address once it listens.
    std::string address;
    while (address.find('\n') == std::string::npos && readSome(ready[0], address, patienceMs)) {
    }
    close(ready[0]);
    if (address.find('\n') == std::string::npos) {
        terminate(busPid_);
        throw std::runtime_error("dbus-daemon did not start: " +
                                 readFile(busFolder() / "dbus.log"));
    }
}

void PrivateAvahi::stopBus() {
    terminate(busPid_);
}

void PrivateAvahi::startAvahi() {
    if (avahiPid_ > 0)
        return;
    // Daemons of tests running side by side share the loopback link: give each its own host
    // name, or they would fight over one.
    std::string config = readFile(fixtures + "/avahi/avahi-daemon.conf");
    const std::string hostLine = "host-name=quintarvel-test";
    if (auto at = config.find(hostLine); at != std::string::npos)
        config.insert(at + hostLine.size(), "-" + std::to_string(getpid()));
    const auto configPath = busFolder() / "avahi-daemon.conf";
    writeFile(configPath, config);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // A fresh /run in a private mount namespace keeps the daemon's pid file and socket apart
    // from any daemon of the machine.
    avahiPid_ = spawn({"unshare", "--mount", "--propagation", "private", "sh", "-c",
                       "mount -t tmpfs tmpfs /run && exec avahi-daemon -f \"$0\" --no-drop-root "
                       "--no-chroot --no-rlimits --no-proc-title",
                       configPath.string()},
                      out[1]);
    close(out[1]);
    auto output = std::make_shared<Output>();
    avahiOutput_ = output;
    avahiDrained_ = std::async(std::launch::async, [output, fd = out[0]] {
        for (;;) {
            std::string piece;
            // No time limit: closing early would kill the daemon with SIGPIPE.
            bool more = readSome(fd, piece, -1);
            {
                std::lock_guard lock(output->mutex);
                output->text += piece;
                output->ended = !more;
            }
            output->changed.notify_all();
            if (!more)
                break;
        }
        close(fd);
    });
    std::unique_lock lock(output->mutex);
    bool ready = output->changed.wait_for(lock, patience, [&] {
        return output->ended || output->text.find("Server startup complete") != std::string::npos;
    });
    if (!ready || output->text.find("Server startup complete") == std::string::npos) {
        std::string text = output->text;
        lock.unlock();
        stopAvahi();
        throw std::runtime_error("avahi-daemon did not start: " + text);
    }
}

void PrivateAvahi::stopAvahi() {
    terminate(avahiPid_);
    if (avahiDrained_.valid())
        avahiDrained_.wait();
}

std::string PrivateAvahi::avahiLog() const {
    if (!avahiOutput_)
        return {};
    std::lock_guard lock(avahiOutput_->mutex);
    return avahiOutput_->text;
}

std::vector<std::string> PrivateAvahi::browse(const std::string &type) const {
    std::vector<std::string> lines;
    std::string command = "timeout 60 avahi-browse -rpt '" + type + "' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return lines;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        lines.push_back(line);
    }
    pclose(pipe);
    return lines;
}

bool PrivateAvahi::listsResolved(const std::vector<std::string> &lines, const std::string &name,
                                 const std::string &type, int port) {
    // =;interface;protocol;name;type;domain;host;address;port;txt
    std::string head = "=;lo;IPv4;" + name + ";" + type + ";local;";
    std::string portField = ";" + std::to_string(port) + ";";
    for (const auto &line : lines)
        if (line.rfind(head, 0) == 0 && line.find(portField, head.size()) != std::string::npos)
            return true;
    return false;
}

} // namespace quintarvel::test
