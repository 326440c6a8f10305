#pragma once

#include "platform/NetService.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace quintarvel::test {

// Records the announcement callbacks: "published", or "not published" with its error.
class RecordingNetServiceDelegate : public NetServiceDelegate {
  public:
    void netServiceDidPublish(NetService &) override { record("published", {}); }
    void netServiceDidNotPublish(NetService &, const ErrorDictionary &error) override {
        record("not published", error);
    }

    // Waits until `count` callbacks have come (false after a generous bound) and returns them.
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60),
                                 [&] { return events_.size() >= count; });
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    ErrorDictionary lastError() const {
        std::lock_guard lock(mutex_);
        return lastError_;
    }

  private:
    void record(const std::string &event, const ErrorDictionary &error) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
            if (!error.empty())
                lastError_ = error;
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_; // guards events_ and lastError_
    std::condition_variable changed_;
    std::vector<std::string> events_;
    ErrorDictionary lastError_;
};

} // namespace quintarvel::test
