#pragma once

#include "platform/FileHandle.h"

namespace quintarvel {

// One pipe: the stand-in for the platform's pipe object. Both ends are close-on-exec, so no
// child process inherits them unless it is given one as a standard stream.
class Pipe {
  public:
    // Throws std::system_error when the system has no descriptors left.
    Pipe();
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;

    FileHandle &fileHandleForReading() { return reading_; }
    FileHandle &fileHandleForWriting() { return writing_; }

  private:
    struct Ends {
        int reading, writing;
    };
    explicit Pipe(Ends ends);
    static Ends open();

    FileHandle reading_;
    FileHandle writing_;
};

} // namespace quintarvel
