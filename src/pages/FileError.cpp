#include "pages/FileError.h"

#include <cstring>
#include <string>

namespace quintarvel {

FileError::FileError(int code)
    : std::runtime_error("error(" + std::to_string(code) + ": " + std::strerror(code) + ")"),
      code_(code) {}

} // namespace quintarvel
