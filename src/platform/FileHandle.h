#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quintarvel {

// A file descriptor with blocking reads and writes: the stand-in for the platform's file
// handle. Used from one thread at a time.
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

  private:
    int fd_;
    bool owns_;
};

} // namespace quintarvel
