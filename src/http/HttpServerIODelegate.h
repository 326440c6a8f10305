#pragma once

#include "http/Socket.h"

#include <memory>

namespace quintarvel {

// Told when a client socket is handed to a protocol-switch session (after the 101 answer has
// been written, just before the session takes the socket over), on that client's serving task.
class HttpServerIODelegate {
  public:
    virtual ~HttpServerIODelegate() = default;
    virtual void socketSwitchingProtocols(std::shared_ptr<Socket> socket) = 0;
};

} // namespace quintarvel
