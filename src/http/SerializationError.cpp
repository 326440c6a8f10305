#include "http/SerializationError.h"

namespace quintarvel {

SerializationError::SerializationError(Case kind)
    : std::runtime_error(kind == Case::invalidObject ? "invalidObject" : "notSupported"),
      kind_(kind) {}

} // namespace quintarvel
