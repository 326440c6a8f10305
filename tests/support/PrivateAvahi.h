#pragma once

#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quintarvel::test {

// A private D-Bus system bus and an avahi-daemon that sees only the loopback interface, for
// tests of service announcement. The machine's own bus and daemon are never touched:
// DBUS_SYSTEM_BUS_ADDRESS points at a socket in a folder of this process (libdbus reads it once
// per process, so every instance in one process shares that address), and the daemon runs in
// a mount namespace of its own with a fresh /run, so its pid file and socket cannot clash with
// a daemon of the machine. Both daemons are stopped by stop*() or the destructor.
//
// Needs root (the daemon's mount namespace), dbus-daemon, avahi-daemon, avahi-browse and
// unshare; unavailableReason() tells why not, for GTEST_SKIP.
class PrivateAvahi {
  public:
    // Sets DBUS_SYSTEM_BUS_ADDRESS; starts nothing, so the bus has no listener yet.
    PrivateAvahi();
    ~PrivateAvahi();
    PrivateAvahi(const PrivateAvahi &) = delete;
    PrivateAvahi &operator=(const PrivateAvahi &) = delete;

    static std::optional<std::string> unavailableReason();
    // A service name no other test process uses: daemons of tests running side by side share
    // the loopback link, so equal names would collide.
    static std::string uniqueName(const std::string &base);
    static const std::string &busAddress();

    // Each waits until the daemon is ready, or throws std::runtime_error with its output.
    void startBus();
    void startAvahi();
    void stopAvahi();
    void stopBus();

    // What avahi-daemon has printed so far.
    std::string avahiLog() const;
    // The lines of `avahi-browse -rpt type` on the private bus.
    std::vector<std::string> browse(const std::string &type) const;
    // Whether browse lines hold the service resolved on lo over IPv4 with that port. Give the
    // name as avahi-browse prints it: a blank reads "\032".
    static bool listsResolved(const std::vector<std::string> &lines, const std::string &name,
                              const std::string &type, int port);

  private:
    struct Output;
    pid_t busPid_ = -1;
    pid_t avahiPid_ = -1;
    std::shared_ptr<Output> avahiOutput_;
    std::future<void> avahiDrained_;
};

} // namespace quintarvel::test
