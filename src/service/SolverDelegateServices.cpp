// The start of the remote solving service: SolverDelegate::startServices and what goes with it.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "http/HttpServer.h"
#include "platform/Dispatch.h"
#include "service/SolverServices.h"
#include "service/UploadFormPage.h"

#include <exception>
#include <string>

namespace quintarvel {

SolverDelegate::Services &SolverDelegate::services() {
    std::lock_guard lock(servicesMutex_);
    if (!services_)
        services_ = std::make_shared<Services>(*this);
    return *services_;
}

std::shared_ptr<HttpServer> SolverDelegate::httpServer() const {
    std::shared_ptr<Services> state;
    {
        std::lock_guard lock(servicesMutex_);
        state = services_;
    }
    if (!state)
        return nullptr;
    std::lock_guard lock(state->mutex);
    return state->server;
}

void SolverDelegate::startServices() {
    startServices(ServiceOptions{});
}

void SolverDelegate::startServices(const ServiceOptions &options) {
    auto &state = services();
    auto server = std::make_shared<HttpServer>();
    {
        std::lock_guard lock(state.mutex);
        if (state.server)
            return; // the services run once
        state.server = server;
    }

    // The handlers keep the solver alive for as long as the server has them.
    auto self = shared_from_this();
    server->GET["/"] = uploadFormPage;
    server->POST["/api/upload"] = [self](std::shared_ptr<HttpRequest> request) {
        return self->handleUpload(*request);
    };
    server->PUT["/api/upload"] = [self](std::shared_ptr<HttpRequest> request) {
        return self->handleUploadWithOptions(*request);
    };
    server->GET["/api/status"] = [self](std::shared_ptr<HttpRequest> request) {
        return self->handleStatus(*request);
    };
    if (options.listenAddress)
        (options.forceIPv4 ? server->listenAddressIPv4 : server->listenAddressIPv6) =
            options.listenAddress;

    bool started = false;
    try {
        server->start(options.port, options.forceIPv4, DispatchPriority::background);
        started = true;
    } catch (const std::exception &) {
    }
    if (started) {
        // Shares the solver's ownership: the announcement holds it weakly, as its delegate.
        const std::shared_ptr<NetServiceDelegate> delegate(self, &state.bonjour);
        server->publish("", "_quintarvel._tcp", options.bonjourName, delegate);
        try {
            log("HTTP server started on port " + std::to_string(server->listeningPort()),
                successColor());
        } catch (const std::exception &) {
            started = false;
        }
    }
    if (!started)
        log("Can't start HTTP server", errorColor());

    state.pipeLoopBegins();
    globalQueue(DispatchPriority::defaultPriority).async([self] {
        self->listenForIPCRequests();
        self->services().pipeLoopEnds();
    });
}

void SolverDelegate::stopServices() {
    auto &state = services();
    {
        std::unique_lock lock(state.mutex);
        state.stopping = true;
        while (state.pipeLoops > 0) {
            // A loop blocked in opening a pipe wakes only when a client comes; be one until it
            // has seen the stop. Between two of its opens a call may miss it: call again.
            lock.unlock();
            detail::wakePipeLoop(paths_.supportFolder);
            lock.lock();
            state.pipeLoopsChanged.wait_for(lock, std::chrono::milliseconds(20),
                                            [&] { return state.pipeLoops == 0; });
        }
        state.stopping = false;
    }
    std::shared_ptr<HttpServer> server;
    {
        std::lock_guard lock(state.mutex);
        server = std::move(state.server);
    }
    if (server)
        server->stop();
    // Released here, the server withdraws its announcement and drops the handlers.
}

} // namespace quintarvel
