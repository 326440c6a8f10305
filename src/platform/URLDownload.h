#pragma once

#include "platform/URLDownloadDelegate.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace quintarvel {

// What to download.
struct URLRequest {
    std::string url;
    int cachePolicy = 0; // the protocol's default policy; nothing is cached here
    // Longest wait for a connection, and longest time without a byte once connected.
    std::chrono::seconds timeoutInterval{60};
};

// The download of one address into one file (http and https only), over libcurl.
//
// start() posts the transfer to a task of the default global queue and returns at once. The
// transfer waits until setDestination() (or cancel()) is called, so set it right after start.
// The body goes into a temporary file beside the destination, which replaces the destination
// only once every byte has come and been flushed: a partial file never lies under the final
// name. A final answer other than 2xx (after redirects) is a failure, not a file.
//
// Callbacks run on the transfer's task, in this order: downloadDidBegin, then for a 2xx answer
// downloadDidReceiveResponse and downloadDidReceiveDataOfLength per block written, then exactly
// one of downloadDidFinish or downloadDidFailWithError. After cancel() returns no callback
// begins (cancel waits for one that is running, so a callback must not wait for the thread
// that may cancel). The delegate is held weakly.
//
// Made through std::make_shared (callbacks can reach the owner's shared_ptr through
// weak_from_this). Dropping the last reference cancels a transfer still running. waitUntilDone()
// lets an owner that is going away, or a test, wait for the task to end and the temporary file to
// be gone.
class URLDownload : public std::enable_shared_from_this<URLDownload> {
  public:
    virtual ~URLDownload() = default;

    // None when the address is not a valid http or https address or the transfer cannot be
    // set up.
    static std::shared_ptr<URLDownload> start(const URLRequest &request,
                                              std::weak_ptr<URLDownloadDelegate> delegate);

    const URLRequest &request() const { return request_; }
    // With true (the default), the partial data of a failed or cancelled transfer is deleted;
    // with false it is kept under its temporary name (".<name>.<random>.part" beside the
    // destination), never under the destination's name.
    virtual void setDeletesFileUponFailure(bool deletes) = 0;
    // Without allowOverwrite, an existing file at the path makes the transfer fail at its end.
    virtual void setDestination(const std::filesystem::path &path, bool allowOverwrite) = 0;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
    // Blocks until the transfer's task has ended. Not from a callback.
    virtual void waitUntilDone() = 0;

  protected:
    explicit URLDownload(URLRequest request) : request_(std::move(request)) {}

  private:
    URLRequest request_;
};

} // namespace quintarvel
