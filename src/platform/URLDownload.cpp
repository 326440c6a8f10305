#include "platform/URLDownload.h"

#include "platform/Dispatch.h"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace quintarvel {
namespace {

struct EasyCleanup {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct UrlCleanup {
    void operator()(CURLU *handle) const { curl_url_cleanup(handle); }
};

void initialiseCurl() {
    static const bool initialised = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == 0; }();
    (void)initialised;
}

bool isWebAddress(const std::string &url) {
    std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return false;
    char *scheme = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK)
        return false;
    bool web = std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0;
    curl_free(scheme);
    return web;
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// What the transfer's task shares with the download object, which may go away first.
struct Shared {
    std::mutex mutex; // guards every field up to `done`
    std::condition_variable changed;
    std::optional<std::filesystem::path> destination;
    bool allowOverwrite = false;
    bool deletesFileUponFailure = true;
    bool done = false;

    std::atomic<bool> cancelled{false};
    std::atomic<std::thread::id> taskThread{};
    // Held while a callback runs, so cancel() can wait for it to end.
    std::mutex callbackMutex;
};

class CurlDownload final : public URLDownload {
  public:
    CurlDownload(URLRequest request, std::shared_ptr<Shared> shared)
        : URLDownload(std::move(request)), shared_(std::move(shared)) {}
    ~CurlDownload() override { cancel(); }

    void setDeletesFileUponFailure(bool deletes) override {
        std::lock_guard lock(shared_->mutex);
        shared_->deletesFileUponFailure = deletes;
    }
    void setDestination(const std::filesystem::path &path, bool allowOverwrite) override {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->destination = path;
            shared_->allowOverwrite = allowOverwrite;
        }
        shared_->changed.notify_all();
    }
    void cancel() override {
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->done)
                return;
            shared_->cancelled = true;
        }
        shared_->changed.notify_all();
        // From a callback, the task is this thread and no other callback can be running.
        if (shared_->taskThread.load() != std::this_thread::get_id()) {
            std::lock_guard wait(shared_->callbackMutex);
        }
    }
    bool isCancelled() const override { return shared_->cancelled; }
    void waitUntilDone() override {
        std::unique_lock lock(shared_->mutex);
        shared_->changed.wait(lock, [this] { return shared_->done; });
    }

  private:
    std::shared_ptr<Shared> shared_;
};

// One transfer, run to its end on a global queue task.
class Transfer {
  public:
    Transfer(URLRequest request, EasyHandle easy, std::shared_ptr<Shared> shared,
             std::weak_ptr<URLDownload> owner, std::weak_ptr<URLDownloadDelegate> delegate)
        : request_(std::move(request)), easy_(std::move(easy)), shared_(std::move(shared)),
          owner_(std::move(owner)), delegate_(std::move(delegate)) {}

    void run() {
        shared_->taskThread = std::this_thread::get_id();
        if (waitForDestination() && notify([](auto &d, auto &o) { d.downloadDidBegin(o); }))
            transfer();
        closeFile(true);
        {
            std::lock_guard lock(shared_->mutex);
            shared_->done = true;
        }
        shared_->changed.notify_all();
    }

  private:
    bool waitForDestination() {
        std::unique_lock lock(shared_->mutex);
        bool ready = shared_->changed.wait_for(lock, request_.timeoutInterval, [this] {
            return shared_->destination.has_value() || shared_->cancelled;
        });
        if (shared_->cancelled)
            return false;
        if (!ready) {
            lock.unlock();
            fail("No destination was set for " + request_.url);
            return false;
        }
        destination_ = *shared_->destination;
        allowOverwrite_ = shared_->allowOverwrite;
        return true;
    }

    // Calls the delegate unless the download was cancelled or dropped; false then.
    template <class F> bool notify(F callback) {
        // Released after the lock, so a last reference dropped here cancels without waiting.
        std::shared_ptr<URLDownload> owner;
        std::shared_ptr<URLDownloadDelegate> delegate;
        std::lock_guard lock(shared_->callbackMutex);
        if (shared_->cancelled || !(owner = owner_.lock()))
            return false;
        if ((delegate = delegate_.lock()))
            callback(*delegate, *owner);
        return true;
    }

    void fail(const std::string &description) {
        closeFile(true);
        notify([&](auto &d, auto &o) { d.downloadDidFailWithError(o, {description}); });
    }

    void transfer() {
        CURL *easy = easy_.get();
        curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "Quintarvel");
        // The request's timeout bounds the connection and every silence, never the whole file.
        long seconds = static_cast<long>(request_.timeoutInterval.count());
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, seconds);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, seconds);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeBlock);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

        CURLcode result = curl_easy_perform(easy);
        if (shared_->cancelled)
            return;
        if (result == CURLE_OK && !responded_)
            respond(); // an empty body
        if (!error_ && result != CURLE_OK)
            error_ = (errorBuffer_[0] ? std::string(errorBuffer_) : curl_easy_strerror(result)) +
                     " (" + request_.url + ")";
        if (!error_)
            finish();
        if (error_)
            fail(*error_);
        else
            notify([](auto &d, auto &o) { d.downloadDidFinish(o); });
    }

    // The final answer has come: it must be 2xx; then the temporary file is opened.
    bool respond() {
        responded_ = true;
        long status = 0;
        curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            error_ = "The server answered " + std::to_string(status) + " for " + request_.url;
            return false;
        }
        std::string pattern =
            (destination_.parent_path() / ("." + destination_.filename().string() + ".XXXXXX.part"))
                .string();
        fd_ = ::mkostemps(pattern.data(), 5, O_CLOEXEC);
        if (fd_ == -1) {
            error_ = "Cannot create a file in " + destination_.parent_path().string() + ": " +
                     errnoText(errno);
            return false;
        }
        temporary_ = pattern;

        URLResponse response;
        char *effective = nullptr;
        curl_easy_getinfo(easy_.get(), CURLINFO_EFFECTIVE_URL, &effective);
        response.url = effective ? effective : request_.url;
        response.statusCode = status;
        curl_off_t length = -1;
        curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        response.expectedContentLength = length;
        notify([&](auto &d, auto &o) { d.downloadDidReceiveResponse(o, response); });
        return true;
    }

    static size_t writeBlock(char *data, size_t size, size_t count, void *context) {
        auto *self = static_cast<Transfer *>(context);
        size_t length = size * count;
        if (self->shared_->cancelled || (!self->responded_ && !self->respond()) ||
            !self->writeAll(data, length))
            return CURL_WRITEFUNC_ERROR;
        self->notify([&](auto &d, auto &o) { d.downloadDidReceiveDataOfLength(o, length); });
        return length;
    }

    bool writeAll(const char *data, size_t length) {
        while (length > 0) {
            ssize_t written = ::write(fd_, data, length);
            if (written == -1 && errno == EINTR)
                continue;
            if (written <= 0) {
                error_ = "Cannot write " + destination_.string() + ": " +
                         errnoText(written == -1 ? errno : ENOSPC);
                return false;
            }
            data += written;
            length -= static_cast<size_t>(written);
        }
        return true;
    }

    static int progress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Transfer *>(context)->shared_->cancelled ? 1 : 0;
    }

    // Flushes the whole file, then puts it under the destination's name in one step.
    void finish() {
        if (::fsync(fd_) == -1 || ::close(std::exchange(fd_, -1)) == -1) {
            error_ = "Cannot write " + destination_.string() + ": " + errnoText(errno);
            return;
        }
        unsigned flags = allowOverwrite_ ? 0 : RENAME_NOREPLACE;
        if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), flags) ==
            -1) {
            error_ = "Cannot save " + destination_.string() + ": " + errnoText(errno);
            return;
        }
        temporary_.clear();
    }

    // Closes the temporary file; deletes it when the download did not end in the destination
    // and the download says so.
    void closeFile(bool failed) {
        if (fd_ != -1)
            ::close(std::exchange(fd_, -1));
        if (failed && !temporary_.empty()) {
            std::lock_guard lock(shared_->mutex);
            if (shared_->deletesFileUponFailure)
                ::unlink(temporary_.c_str());
            temporary_.clear();
        }
    }

    const URLRequest request_;
    EasyHandle easy_;
    std::shared_ptr<Shared> shared_;
    std::weak_ptr<URLDownload> owner_;
    std::weak_ptr<URLDownloadDelegate> delegate_;

    std::filesystem::path destination_;
    bool allowOverwrite_ = false;
    bool responded_ = false;
    int fd_ = -1;
    std::string temporary_; // while the data lies under it
    std::optional<std::string> error_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
};

} // namespace

std::shared_ptr<URLDownload> URLDownload::start(const URLRequest &request,
                                                std::weak_ptr<URLDownloadDelegate> delegate) {
    initialiseCurl();
    if (!isWebAddress(request.url))
        return nullptr;
    EasyHandle easy(curl_easy_init());
    if (!easy)
        return nullptr;
    auto shared = std::make_shared<Shared>();
    auto download = std::make_shared<CurlDownload>(request, shared);
    auto transfer = std::make_shared<Transfer>(request, std::move(easy), std::move(shared),
                                               download, std::move(delegate));
    globalQueue().async([transfer] { transfer->run(); });
    return download;
}

} // namespace quintarvel
