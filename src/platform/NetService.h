#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quintarvel {

class NetService;

// Told how a publication ends. Each publish() ends in exactly one of the two calls; a service
// that stops being advertised later (the daemon goes away, a name collision arises) gets one
// more netServiceDidNotPublish. Calls come on the service's own event task, never while a lock
// of the service is held, so a delegate may call stop() or publish() from them.
class NetServiceDelegate {
  public:
    using ErrorDictionary = std::map<std::string, std::int64_t>;

    virtual ~NetServiceDelegate() = default;
    virtual void netServiceDidPublish(NetService &) {}
    // Keys: "NSNetServicesErrorCode" (-72000 unknown, -72001 collision, -72004 bad argument),
    // "NSNetServicesErrorDomain" (10) and "AvahiErrorCode" (the daemon's own error number).
    virtual void netServiceDidNotPublish(NetService &, const ErrorDictionary &) {}
};

// A DNS-SD service announced through the Avahi daemon on the system D-Bus (whose address
// DBUS_SYSTEM_BUS_ADDRESS may override, read once per process by libdbus). Without a daemon or
// a bus the delegate hears "not published" at once; nothing waits for a daemon to appear.
//
// Every publication runs its own Avahi event loop as one task of the global queue, which
// withdraws the announcement and ends on stop(). Owned through std::shared_ptr (the event task
// holds it weakly to name it as the sender); destruction stops and, unless it happens on that
// event task itself, waits for the task to end.
class NetService : public std::enable_shared_from_this<NetService> {
  public:
    // domain "" (or "local.") is the default domain; name "" the host's name; type such as
    // "_quintarvel._tcp" (a trailing dot is dropped from domain and type).
    static std::shared_ptr<NetService> create(std::string domain, std::string type,
                                              std::string name, std::int32_t port);
    ~NetService();
    NetService(const NetService &) = delete;
    NetService &operator=(const NetService &) = delete;

    const std::string &domain() const { return domain_; }
    const std::string &type() const { return type_; }
    const std::string &name() const { return name_; }
    std::int32_t port() const { return port_; }

    // Held weakly, as the platform's delegates are.
    void setDelegate(std::weak_ptr<NetServiceDelegate> delegate);
    std::shared_ptr<NetServiceDelegate> delegate() const;

    // Starts announcing; a running announcement is withdrawn first. Returns at once.
    void publish();
    // Withdraws the announcement. Waits for the event task unless called from it.
    void stop();

  private:
    struct Session;
    NetService(std::string domain, std::string type, std::string name, std::int32_t port);
    static void run(std::shared_ptr<Session> session);

    const std::string domain_;
    const std::string type_;
    const std::string name_;
    const std::int32_t port_;

    mutable std::mutex mutex_; // guards delegate_ and sessions_
    std::weak_ptr<NetServiceDelegate> delegate_;
    // Publications whose event task may still run.
    std::vector<std::shared_ptr<Session>> sessions_;
};

} // namespace quintarvel
