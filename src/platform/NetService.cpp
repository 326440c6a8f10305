#include "platform/NetService.h"

#include "platform/Dispatch.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <thread>

namespace quintarvel {
namespace {

// The platform's error codes for a service that could not be published.
constexpr std::int64_t unknownError = -72000;
constexpr std::int64_t collisionError = -72001;
constexpr std::int64_t badArgumentError = -72004;
constexpr std::int64_t netServicesErrorDomain = 10;

std::int64_t platformCode(int avahiError) {
    switch (avahiError) {
    case AVAHI_ERR_COLLISION:
        return collisionError;
    case AVAHI_ERR_INVALID_HOST_NAME:
    case AVAHI_ERR_INVALID_DOMAIN_NAME:
    case AVAHI_ERR_INVALID_SERVICE_NAME:
    case AVAHI_ERR_INVALID_SERVICE_TYPE:
    case AVAHI_ERR_INVALID_PORT:
    case AVAHI_ERR_INVALID_ARGUMENT:
        return badArgumentError;
    default:
        return unknownError;
    }
}

std::string withoutTrailingDot(std::string text) {
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

} // namespace

struct NetService::Session {
    std::weak_ptr<NetService> owner;
    std::string domain, type, name;
    std::int32_t port = 0;

    std::mutex mutex; // guards poll, stopRequested and thread
    AvahiSimplePoll *poll = nullptr;
    bool stopRequested = false;
    std::thread::id thread;

    std::promise<void> done;
    std::shared_future<void> finished = done.get_future().share();

    // Touched only by the event task.
    AvahiEntryGroup *group = nullptr;
    bool published = false;
    bool ended = false;

    bool stopping() {
        std::lock_guard lock(mutex);
        return stopRequested;
    }

    // Tells the delegate; a stopped publication or a gone owner tells nobody.
    void report(bool success, int avahiError = 0) {
        if (stopping())
            return;
        std::shared_ptr<NetService> service = owner.lock();
        if (!service)
            return;
        std::shared_ptr<NetServiceDelegate> delegate = service->delegate();
        if (!delegate)
            return;
        if (success) {
            delegate->netServiceDidPublish(*service);
        } else {
            delegate->netServiceDidNotPublish(*service,
                                              {{"NSNetServicesErrorCode", platformCode(avahiError)},
                                               {"NSNetServicesErrorDomain", netServicesErrorDomain},
                                               {"AvahiErrorCode", avahiError}});
        }
    }

    // The first failure ends the publication; later ones are echoes of it.
    void fail(int avahiError) {
        if (ended)
            return;
        ended = true;
        report(false, avahiError);
    }

    static void groupChanged(AvahiEntryGroup *g, AvahiEntryGroupState state, void *userdata) {
        auto *self = static_cast<Session *>(userdata);
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            // A group re-established after the host was renamed is no news.
            if (!self->published) {
                self->published = true;
                self->report(true);
            }
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            self->fail(AVAHI_ERR_COLLISION);
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            self->fail(avahi_client_errno(avahi_entry_group_get_client(g)));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    void addService(AvahiClient *client) {
        if (!group) {
            // The callback may come before avahi_entry_group_new returns.
            group = avahi_entry_group_new(client, groupChanged, this);
            if (!group) {
                fail(avahi_client_errno(client));
                return;
            }
        }
        if (!avahi_entry_group_is_empty(group))
            return;
        if (port < 0 || port > 65535) {
            fail(AVAHI_ERR_INVALID_PORT);
            return;
        }
        const char *serviceName = name.empty() ? avahi_client_get_host_name(client) : name.c_str();
        int error = avahi_entry_group_add_service(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), serviceName,
            type.c_str(), domain.empty() ? nullptr : domain.c_str(), nullptr,
            static_cast<std::uint16_t>(port), nullptr);
        if (error == AVAHI_OK)
            error = avahi_entry_group_commit(group);
        if (error != AVAHI_OK)
            fail(error);
    }

    static void clientChanged(AvahiClient *client, AvahiClientState state, void *userdata) {
        auto *self = static_cast<Session *>(userdata);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->addService(client);
            break;
        case AVAHI_CLIENT_FAILURE:
            self->fail(avahi_client_errno(client));
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The daemon is choosing a new host name: withdraw and add again once it runs.
            if (self->group)
                avahi_entry_group_reset(self->group);
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        }
    }
};

NetService::NetService(std::string domain, std::string type, std::string name, std::int32_t port)
    : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), port_(port) {}

std::shared_ptr<NetService> NetService::create(std::string domain, std::string type,
                                               std::string name, std::int32_t port) {
    return std::shared_ptr<NetService>(
        new NetService(std::move(domain), std::move(type), std::move(name), port));
}

NetService::~NetService() {
    stop();
}

void NetService::setDelegate(std::weak_ptr<NetServiceDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<NetServiceDelegate> NetService::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void NetService::publish() {
    stop();
    auto session = std::make_shared<Session>();
    session->owner = weak_from_this();
    session->domain = withoutTrailingDot(domain_);
    session->type = withoutTrailingDot(type_);
    session->name = name_;
    session->port = port_;
    {
        std::lock_guard lock(mutex_);
        sessions_.push_back(session);
    }
    globalQueue().async([session] { run(session); });
}

void NetService::stop() {
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard lock(mutex_);
        sessions.swap(sessions_);
    }
    std::vector<std::shared_ptr<Session>> ownTask;
    for (const auto &session : sessions) {
        bool onItsTask;
        {
            std::lock_guard lock(session->mutex);
            session->stopRequested = true;
            if (session->poll)
                avahi_simple_poll_wakeup(session->poll);
            onItsTask = session->thread == std::this_thread::get_id();
        }
        // Waiting for the task we run on would never end; it finishes once we return to it.
        if (onItsTask)
            ownTask.push_back(session);
        else
            session->finished.wait();
    }
    if (!ownTask.empty()) {
        std::lock_guard lock(mutex_);
        sessions_.insert(sessions_.end(), ownTask.begin(), ownTask.end());
    }
}

void NetService::run(std::shared_ptr<Session> session) {
    AvahiSimplePoll *poll = nullptr;
    {
        std::lock_guard lock(session->mutex);
        session->thread = std::this_thread::get_id();
        if (!session->stopRequested)
            poll = session->poll = avahi_simple_poll_new();
    }
    if (poll) {
        int error = AVAHI_OK;
        // No AVAHI_CLIENT_NO_FAIL: without a daemon this fails at once instead of waiting.
        AvahiClient *client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0),
                                               Session::clientChanged, session.get(), &error);
        if (!client) {
            session->fail(error);
        } else {
            while (!session->ended && !session->stopping()) {
                if (avahi_simple_poll_iterate(poll, -1) != 0)
                    break;
            }
            // Frees the entry group too, which withdraws the announcement.
            avahi_client_free(client);
        }
        {
            std::lock_guard lock(session->mutex);
            session->poll = nullptr;
        }
        avahi_simple_poll_free(poll);
    } else if (!session->stopping()) {
        session->fail(AVAHI_ERR_NO_MEMORY);
    }
    session->done.set_value();
}

} // namespace quintarvel
