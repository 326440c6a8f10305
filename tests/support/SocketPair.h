#pragma once

#include <cerrno>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace quintarvel::test {

// A connected pair of local stream (or packet) sockets. The server end is usually handed to a
// Socket, which then owns it; the client end stays here and is closed with this object.
class SocketPair {
  public:
    explicit SocketPair(int type = SOCK_STREAM) {
        int fds[2];
        if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) {
            throw std::runtime_error("socketpair failed");
        }
        server_ = fds[0];
        client_ = fds[1];
    }
    ~SocketPair() {
        if (server_ >= 0)
            ::close(server_);
        if (client_ >= 0)
            ::close(client_);
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;

    // Gives up the server end (to a Socket, which closes it).
    int takeServer() {
        const int fd = server_;
        server_ = -1;
        return fd;
    }
    int client() const { return client_; }

    // Sends all bytes from the client end (they must fit the socket buffer).
    void send(std::string_view bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n =
                ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("send failed");
            sent += static_cast<std::size_t>(n);
        }
    }
    // Ends the client's writing: the server end then reads end of stream.
    void shutdownClientWrite() const { ::shutdown(client_, SHUT_WR); }
    void closeClient() {
        ::close(client_);
        client_ = -1;
    }
    // Whatever the client end can read without waiting.
    std::string drainClient() const {
        std::string out;
        char buffer[4096];
        while (true) {
            const ssize_t n = ::recv(client_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

  private:
    int server_ = -1;
    int client_ = -1;
};

} // namespace quintarvel::test
