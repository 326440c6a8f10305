#include "platform/FileHandle.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quintarvel {
namespace {

// Blocks SIGPIPE on this thread for one write and swallows one it caused, so a vanished
// reader gives EPIPE instead of ending the process; other threads are unaffected.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &previous_);
    }
    ~SigpipeGuard() {
        if (sawEpipe && !alreadyPending_) {
            const timespec zero{0, 0};
            while (sigtimedwait(&pipeSet_, nullptr, &zero) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    bool sawEpipe = false;

  private:
    sigset_t pipeSet_{}, previous_{};
    bool alreadyPending_ = false;
};

} // namespace

FileHandle::FileHandle(int fd, bool closeOnDestruction) : fd_(fd), owns_(closeOnDestruction) {}

FileHandle::~FileHandle() {
    if (owns_)
        closeFile();
    if (wake_ >= 0)
        ::close(wake_);
}

std::vector<std::uint8_t> FileHandle::readDataOfLength(std::size_t length) {
    std::vector<std::uint8_t> data(length);
    std::size_t got = 0;
    while (got < length && fd_ >= 0) {
        ssize_t n = ::read(fd_, data.data() + got, length - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    data.resize(got);
    return data;
}

bool FileHandle::writeData(std::string_view bytes) {
    if (fd_ < 0 || abandoned_)
        return false;
    SigpipeGuard guard;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN && idleLimit_) {
            if (!awaitRoom()) {
                abandoned_ = true;
                return false;
            }
        } else if (errno != EINTR) {
            guard.sawEpipe = errno == EPIPE;
            return false;
        }
    }
    return true;
}

void FileHandle::setWriteIdleLimit(std::chrono::milliseconds limit) {
    idleLimit_ = limit;
    if (wake_ < 0)
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); // without it the limit still holds
    if (const int flags = ::fcntl(fd_, F_GETFL); flags != -1)
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

void FileHandle::interruptWrites() {
    interrupted_ = true;
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto ignored = ::write(wake_, &one, sizeof one);
    }
}

bool FileHandle::awaitRoom() {
    const auto deadline = std::chrono::steady_clock::now() + *idleLimit_;
    for (;;) {
        if (interrupted_)
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd ready[] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
        const int rc = ::poll(ready, 2, int(std::min<std::int64_t>(left.count(), INT_MAX)));
        if (rc < 0 && errno != EINTR)
            return false;
        if (ready[1].revents != 0)
            return false;
        // Room, or an error that the next write reports.
        if (ready[0].revents != 0)
            return true;
    }
}

void FileHandle::synchronizeFile() {
    if (fd_ >= 0)
        ::fsync(fd_); // EINVAL on pipes and sockets: nothing to flush there
}

void FileHandle::closeFile() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace quintarvel
