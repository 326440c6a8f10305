#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quintarvel {

// A file descriptor with blocking reads and writes: the stand-in for the platform's file
// handle. Used from one thread at a time, but for interruptWrites.
class FileHandle {
  public:
    // Takes ownership of `fd` when `closeOnDestruction` is set.
    explicit FileHandle(int fd, bool closeOnDestruction = true);
    ~FileHandle();
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;

    int fileDescriptor() const { return fd_; }

    // Up to `length` bytes; fewer only at the end of input, none there. A read error counts
    // as the end of input.
    std::vector<std::uint8_t> readDataOfLength(std::size_t length);
    // Writes every byte. False when the descriptor fails, e.g. a pipe whose reader went
    // away; that never raises SIGPIPE in this process.
    bool writeData(std::string_view bytes);
    // Flushes to the device; a no-op on pipes, sockets and terminals.
    void synchronizeFile();
    void closeFile();

    // For a reader that may stop reading: the descriptor becomes non-blocking, and a write
    // that makes no progress for `limit` gives up. Set before the handle is shared.
    void setWriteIdleLimit(std::chrono::milliseconds limit);
    // From any thread, on a handle with an idle limit: a write waiting for its reader gives
    // up at once, and so does every later one that would have to wait (bytes the reader has
    // room for still go). No effect on other handles, whose writes block.
    void interruptWrites();
    // Whether a write gave up, for the idle limit or an interruption. Every write fails at
    // once from then: its reader would find a line cut short followed by later ones.
    bool writesAbandoned() const { return abandoned_; }

  private:
    // Waits for room to write; false once the idle limit has passed or writes are interrupted.
    bool awaitRoom();

    int fd_;
    bool owns_;
    std::optional<std::chrono::milliseconds> idleLimit_;
    int wake_ = -1; // readable once writes are interrupted; only with an idle limit
    std::atomic<bool> interrupted_ = false;
    bool abandoned_ = false;
};

} // namespace quintarvel
