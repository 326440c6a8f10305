#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace quintarvel::test {

inline std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// A local program talking to the solver's named pipes: it opens "request" for writing, then
// "response" for reading, as the loop expects. Every wait is bounded, so a loop that never
// comes fails the test instead of hanging it.
class PipeClient {
  public:
    static constexpr auto patience = std::chrono::seconds(60);

    explicit PipeClient(const std::filesystem::path &supportFolder)
        : request_(supportFolder / "request"), response_(supportFolder / "response") {}
    ~PipeClient() {
        closeRequest();
        if (responseFd_ != -1)
            ::close(responseFd_);
    }
    PipeClient(const PipeClient &) = delete;
    PipeClient &operator=(const PipeClient &) = delete;

    bool openRequest() { return (requestFd_ = openWaiting(request_, O_WRONLY)) != -1; }
    bool openResponse() { return (responseFd_ = openWaiting(response_, O_RDONLY)) != -1; }
    // Writes all of the text; false when the loop stops taking it for `patience`, or has
    // closed its end (that never raises SIGPIPE in the test process).
    bool write(const std::string &text) {
        sigset_t pipeOnly, previous;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
        const bool written = writeBlocked(text);
        const timespec none{0, 0};
        while (::sigtimedwait(&pipeOnly, nullptr, &none) == SIGPIPE) {
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return written;
    }
    void closeRequest() {
        if (requestFd_ != -1)
            ::close(requestFd_);
        requestFd_ = -1;
    }
    // The response's lines up to the end of the pipe; none when it does not end in time. A
    // last piece without a line feed counts as a line.
    std::optional<std::vector<std::string>> readLines() {
        std::string text;
        for (;;) {
            pollfd ready{responseFd_, POLLIN, 0};
            if (::poll(&ready, 1, int(std::chrono::milliseconds(patience).count())) != 1)
                return std::nullopt;
            char buffer[4096];
            const ssize_t n = ::read(responseFd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buffer, std::size_t(n));
        }
        std::vector<std::string> lines;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        return lines;
    }

    // The bytes of the answer waiting in "response", and the most the pipe holds.
    std::size_t responseBytesWaiting() const { return bytesWaiting(responseFd_); }
    // The bytes written to "request" that the loop has not read yet.
    std::size_t requestBytesWaiting() const { return bytesWaiting(requestFd_); }
    std::size_t responseCapacity() const {
        const int bytes = ::fcntl(responseFd_, F_GETPIPE_SZ);
        return bytes > 0 ? std::size_t(bytes) : 0;
    }

    // The lines each followed by a line feed, then the terminator line.
    static std::string requestText(const std::vector<std::string> &lines) {
        std::string text;
        for (const auto &line : lines)
            text += line + "\n";
        return text + "<<<EOF>>>\n";
    }

    // One whole request, written before "response" is opened; the request pipe is closed
    // once written.
    std::optional<std::vector<std::string>> exchange(const std::vector<std::string> &lines) {
        if (!openRequest())
            return std::nullopt;
        if (!write(requestText(lines)))
            return std::nullopt;
        closeRequest();
        if (!openResponse())
            return std::nullopt;
        return readLines();
    }

  private:
    static std::size_t bytesWaiting(int fd) {
        int bytes = 0;
        return ::ioctl(fd, FIONREAD, &bytes) == 0 ? std::size_t(bytes) : 0;
    }
    bool writeBlocked(const std::string &text) {
        ::fcntl(requestFd_, F_SETFL, ::fcntl(requestFd_, F_GETFL) | O_NONBLOCK);
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(requestFd_, text.data() + done, text.size() - done);
            if (n > 0) {
                done += std::size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            pollfd ready{requestFd_, POLLOUT, 0};
            if (n == 0 || errno != EAGAIN ||
                ::poll(&ready, 1, int(std::chrono::milliseconds(patience).count())) != 1)
                return false;
        }
        return true;
    }

    // A blocking open, given up after `patience`: the open is then released by opening the
    // other end without waiting, which a blocked FIFO open takes for its partner.
    static int openWaiting(const std::filesystem::path &path, int flags) {
        auto opened = std::async(std::launch::async,
                                 [path, flags] { return ::open(path.c_str(), flags | O_CLOEXEC); });
        if (opened.wait_for(patience) == std::future_status::ready)
            return opened.get();
        const int partner =
            ::open(path.c_str(), (flags == O_WRONLY ? O_RDONLY : O_WRONLY) | O_NONBLOCK);
        const int fd = opened.get();
        if (fd != -1)
            ::close(fd);
        if (partner != -1)
            ::close(partner);
        return -1;
    }

    std::filesystem::path request_, response_;
    int requestFd_ = -1, responseFd_ = -1;
};

} // namespace quintarvel::test
