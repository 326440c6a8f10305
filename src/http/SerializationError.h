#pragma once

#include <stdexcept>

namespace quintarvel {

// Why a response body could not be produced. what() is the case name ("invalidObject").
class SerializationError : public std::runtime_error {
  public:
    enum class Case {
        invalidObject, // a JSON body that is not a top-level array or object, or holds NaN/inf
        notSupported,  // nothing produces it
    };

    explicit SerializationError(Case kind);

    Case kind() const noexcept { return kind_; }

  private:
    Case kind_;
};

} // namespace quintarvel
