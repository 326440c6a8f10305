#pragma once

#include "app/SolverDelegate.h"
#include "http/HttpServer.h"
#include "platform/NetService.h"

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace quintarvel {

// What the remote solving service keeps inside the solver. Private to src/service.
struct SolverDelegate::Services {
    // Hands the announcement's outcome to the solver. It lives inside the solver, and the
    // announcement holds it through a weak pointer that shares the solver's ownership, so
    // the solver is alive for every callback and the announcement never keeps it alive.
    class BonjourDelegate final : public NetServiceDelegate {
      public:
        explicit BonjourDelegate(SolverDelegate &solver) : solver_(solver) {}
        void netServiceDidPublish(NetService &service) override {
            solver_.netServiceDidPublish(service);
        }
        void netServiceDidNotPublish(NetService &service, const ErrorDictionary &error) override {
            solver_.netServiceDidNotPublish(service, error);
        }

      private:
        SolverDelegate &solver_;
    };

    explicit Services(SolverDelegate &solver) : bonjour(solver) {}

    // Counts a pipe loop from the moment it is submitted, so that stopServices also waits
    // for one that has not begun yet.
    void pipeLoopBegins() {
        std::lock_guard lock(mutex);
        ++pipeLoops;
    }
    void pipeLoopEnds() {
        {
            std::lock_guard lock(mutex);
            --pipeLoops;
        }
        pipeLoopsChanged.notify_all();
    }
    // Records the path of a new upload; the path of the one before, if any.
    std::optional<std::string> replaceLastUpload(std::string path) {
        std::lock_guard lock(mutex);
        return std::exchange(lastUpload, std::optional<std::string>(std::move(path)));
    }
    bool isStopping() const {
        std::lock_guard lock(mutex);
        return stopping;
    }
    PipeLimits currentPipeLimits() const {
        std::lock_guard lock(mutex);
        return pipeLimits;
    }

    BonjourDelegate bonjour;

    mutable std::mutex mutex; // guards every field below
    std::condition_variable pipeLoopsChanged;
    std::shared_ptr<HttpServer> server;
    std::size_t pipeLoops = 0;             // submitted or running, not yet ended
    std::optional<std::string> lastUpload; // path of the latest upload, kept until the next
    bool stopping = false;                 // set by stopServices until every pipe loop has ended
    PipeLimits pipeLimits;
};

namespace detail {

// Opens and at once closes the pipes of the support folder as a client would, without
// waiting: a pipe loop blocked in opening one of them goes on. Nothing when no loop waits.
void wakePipeLoop(const std::filesystem::path &supportFolder);

} // namespace detail
} // namespace quintarvel
