#pragma once

// Header only: tests that include it link the HTTP library, which the support library does not.

#include "http/HttpServer.h"

#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quintarvel::test {

// A file server on 127.0.0.1 (ephemeral port) for download tests: each path answers the way
// the test set it up; any other path answers 404. Answers close the connection after them.
class DownloadServer {
  public:
    DownloadServer() {
        server_->middleware.push_back(
            [state = state_](std::shared_ptr<HttpRequest> request) -> std::optional<HttpResponse> {
                std::lock_guard lock(state->mutex);
                state->requests.push_back(request->path);
                auto answer = state->answers.find(request->path);
                if (answer == state->answers.end())
                    return HttpResponse::notFound();
                return answer->second;
            });
        server_->listenAddressIPv4 = "127.0.0.1";
        server_->start(0, true, DispatchPriority::background);
        port_ = server_->listeningPort();
    }
    // Returns once the server's tasks have let go of it, so none outlives the test.
    ~DownloadServer() {
        release();
        server_->stop();
        server_.reset();
        gone_.wait_for(std::chrono::seconds(60));
    }
    DownloadServer(const DownloadServer &) = delete;
    DownloadServer &operator=(const DownloadServer &) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" + folder, to which a file name is appended.
    std::string base(const std::string &folder = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + folder;
    }

    // 200 with "Content-Length".
    void serve(const std::string &path, const std::string &body) {
        set(path, HttpResponse::raw(200, "OK", lengthHeader(body.size()), bytes(body)));
    }
    // 200 without a length: the body ends when the connection does.
    void serveWithoutLength(const std::string &path, const std::string &body) {
        set(path, HttpResponse::raw(200, "OK", std::nullopt, bytes(body)));
    }
    // 200 announcing `announced` bytes, sending only `body`, then closing.
    void serveTruncated(const std::string &path, const std::string &body, std::size_t announced) {
        set(path, HttpResponse::raw(200, "OK", lengthHeader(announced), bytes(body)));
    }
    // 200 announcing `announced` bytes: sends `first`, then waits for release() (or the
    // test's patience) and sends nothing more. Gives a future that is ready once `first` is
    // out.
    std::shared_future<void> serveStalled(const std::string &path, const std::string &first,
                                          std::size_t announced) {
        auto sent = std::make_shared<std::promise<void>>();
        std::shared_future<void> ready = sent->get_future().share();
        std::shared_future<void> released = state_->released;
        set(path, HttpResponse::raw(200, "OK", lengthHeader(announced),
                                    [first, sent, released](HttpResponseBodyWriter &writer) {
                                        writer.writeNSData(first.data(), first.size());
                                        sent->set_value();
                                        released.wait_for(std::chrono::seconds(60));
                                    }));
        return ready;
    }
    void redirect(const std::string &path, const std::string &target) {
        set(path, HttpResponse::movedTemporarily(target));
    }
    // Lets every stalled answer end.
    void release() {
        std::call_once(state_->releaseOnce, [this] { state_->release.set_value(); });
    }

    // The paths asked for, in order.
    std::vector<std::string> requests() const {
        std::lock_guard lock(state_->mutex);
        return state_->requests;
    }

  private:
    struct State {
        std::mutex mutex; // guards answers and requests
        std::map<std::string, HttpResponse> answers;
        std::vector<std::string> requests;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::once_flag releaseOnce;
    };

    static HttpResponse::HeaderMap lengthHeader(std::size_t length) {
        return {{"Content-Length", std::to_string(length)}};
    }
    static HttpBodyWriter bytes(std::string body) {
        if (body.empty())
            return nullptr;
        return [body](HttpResponseBodyWriter &writer) {
            writer.writeNSData(body.data(), body.size());
        };
    }
    void set(const std::string &path, HttpResponse response) {
        std::lock_guard lock(state_->mutex);
        state_->answers.insert_or_assign(path, std::move(response));
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::promise<void> deleted_;
    std::future<void> gone_ = deleted_.get_future();
    std::shared_ptr<HttpServer> server_{new HttpServer, [this](HttpServer *server) {
                                            delete server;
                                            deleted_.set_value();
                                        }};
    std::uint16_t port_ = 0;
};

} // namespace quintarvel::test
