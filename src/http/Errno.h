#pragma once

#include <string>

namespace quintarvel {

class Errno {
  public:
    // The system's message (strerror) for the current errno. Thread-safe.
    static std::string currentMessage();
};

} // namespace quintarvel
