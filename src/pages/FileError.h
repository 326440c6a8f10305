#pragma once

#include <stdexcept>

namespace quintarvel {

// The one failure of the file functions: the errno value left by the failed library call (0
// when File::read comes up short without the stream's error indicator set).
class FileError : public std::runtime_error {
  public:
    explicit FileError(int code);

    // The errno value.
    int code() const noexcept { return code_; }

  private:
    int code_;
};

} // namespace quintarvel
