#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quintarvel::test {

// A raw HTTP/1.1 client on one loopback connection (127.0.0.1, or ::1). Every wait is bounded
// by a generous limit, so a server that hangs fails the test instead of hanging it.
class LoopbackHttpClient {
  public:
    struct Response {
        int status = 0;
        std::string reason;
        std::vector<std::pair<std::string, std::string>> headers; // in wire order
        std::string body;
        std::string head; // status line and header lines as received, up to the blank line

        // The first header of that exact name.
        std::optional<std::string> header(const std::string &name) const;
    };

    explicit LoopbackHttpClient(std::uint16_t port, bool ipv6 = false);
    ~LoopbackHttpClient();
    LoopbackHttpClient(const LoopbackHttpClient &) = delete;
    LoopbackHttpClient &operator=(const LoopbackHttpClient &) = delete;

    // False when the server has closed or reset the connection.
    bool send(std::string_view bytes);
    // One response: the body by "Content-Length", or up to the end of the stream without it.
    // None when the connection ends (or the limit passes) before a whole head has come.
    std::optional<Response> readResponse();
    // Whether the server ends the connection (end of stream or reset) before sending more.
    bool closedByServer();
    // Everything until the server closes.
    std::string readToEnd();
    int descriptor() const { return fd_; }

  private:
    // Reads more into buffer_; false at the end of the stream, on a reset or after the limit.
    bool readMore();

    int fd_ = -1;
    std::string buffer_;
};

// A GET request line with a Host header and the given extra header lines (each ending in
// "\r\n"), and the blank line.
std::string getRequest(const std::string &path, const std::string &extraHeaders = "");

} // namespace quintarvel::test
