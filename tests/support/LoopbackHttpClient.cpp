#include "support/LoopbackHttpClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace quintarvel::test {
namespace {

constexpr int patienceMs = 60'000;

} // namespace

std::optional<std::string> LoopbackHttpClient::Response::header(const std::string &name) const {
    for (const auto &[n, v] : headers)
        if (n == name)
            return v;
    return std::nullopt;
}

LoopbackHttpClient::LoopbackHttpClient(std::uint16_t port, bool ipv6) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ == -1)
        throw std::runtime_error("socket failed");
    int rc;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        rc = ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (rc != 0) {
        ::close(fd_);
        throw std::runtime_error("connect failed");
    }
}

LoopbackHttpClient::~LoopbackHttpClient() {
    if (fd_ != -1)
        ::close(fd_);
}

bool LoopbackHttpClient::send(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool LoopbackHttpClient::readMore() {
    pollfd p{fd_, POLLIN, 0};
    int rc;
    while ((rc = ::poll(&p, 1, patienceMs)) == -1 && errno == EINTR) {
    }
    if (rc <= 0)
        return false;
    char chunk[8192];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<LoopbackHttpClient::Response> LoopbackHttpClient::readResponse() {
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
        if (!readMore())
            return std::nullopt;
    Response response;
    response.head = buffer_.substr(0, end + 2);
    buffer_.erase(0, end + 4);
    std::size_t lineEnd = response.head.find("\r\n");
    std::string statusLine = response.head.substr(0, lineEnd);
    // "HTTP/1.1 200 OK"
    std::size_t firstBlank = statusLine.find(' ');
    std::size_t secondBlank = statusLine.find(' ', firstBlank + 1);
    response.status = std::atoi(statusLine.substr(firstBlank + 1).c_str());
    response.reason = secondBlank == std::string::npos ? "" : statusLine.substr(secondBlank + 1);
    for (std::size_t start = lineEnd + 2; start < response.head.size();) {
        std::size_t stop = response.head.find("\r\n", start);
        std::string line = response.head.substr(start, stop - start);
        std::size_t colon = line.find(": ");
        response.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        start = stop + 2;
    }
    if (auto length = response.header("Content-Length")) {
        std::size_t want = std::stoul(*length);
        while (buffer_.size() < want)
            if (!readMore())
                return std::nullopt;
        response.body = buffer_.substr(0, want);
        buffer_.erase(0, want);
    } else {
        response.body = readToEnd();
    }
    return response;
}

bool LoopbackHttpClient::closedByServer() {
    pollfd p{fd_, POLLIN, 0};
    int rc;
    while ((rc = ::poll(&p, 1, patienceMs)) == -1 && errno == EINTR) {
    }
    if (rc <= 0)
        return false; // still open after the limit
    char byte;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    if (n > 0) {
        buffer_.push_back(byte);
        return false;
    }
    return true;
}

std::string LoopbackHttpClient::readToEnd() {
    while (readMore()) {
    }
    return std::exchange(buffer_, std::string());
}

std::string getRequest(const std::string &path, const std::string &extraHeaders) {
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extraHeaders + "\r\n";
}

} // namespace quintarvel::test
