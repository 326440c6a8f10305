#pragma once

#include "pages/File.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quintarvel {

// The sink a response body is written into. The server implements it over the client socket;
// each requirement writes everything it is given or throws, and the error passes out of the
// body writer unchanged.
class HttpResponseBodyWriter {
  public:
    virtual ~HttpResponseBodyWriter() = default;

    // The whole open file, from its first byte to its end.
    virtual void sendFile(File &file) = 0;
    virtual void writeBytes(const std::vector<std::uint8_t> &bytes) = 0;
    virtual void writeByteSlice(std::span<const std::uint8_t> bytes) = 0;
    // `length` bytes starting at `bytes` (a platform data object's memory).
    virtual void writeNSData(const void *bytes, std::size_t length) = 0;
    // A data buffer's bytes.
    virtual void writeDataContents(const std::vector<std::uint8_t> &data) = 0;
};

// A body writer: hands a body to a sink and may throw. An empty function means no body.
using HttpBodyWriter = std::function<void(HttpResponseBodyWriter &)>;

} // namespace quintarvel
