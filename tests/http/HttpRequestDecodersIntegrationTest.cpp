#include "http/HttpRequest.h"

#include "http/UnicodeText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace quintarvel {
namespace {

// Guards against a client that never connects or stalls; no test result depends on it.
constexpr int hangGuardSeconds = 60;

class LoopbackListener {
  public:
    LoopbackListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(fd_, 1) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1: " << std::strerror(errno);
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    int port() const { return port_; }

    // The next connection, or -1 when none comes within the guard time.
    int accept() const {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, hangGuardSeconds * 1000) != 1) {
            return -1;
        }
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            const timeval guard{hangGuardSeconds, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
        }
        return client;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// Reads one request as the client sent it: header lines (names lower-cased, values trimmed)
// and a body of "content-length" bytes. Then answers 200 and closes the connection.
HttpRequest captureRequest(int client) {
    std::string received;
    std::size_t headerEnd = std::string::npos;
    char buffer[65536];
    while (headerEnd == std::string::npos) {
        const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
        if (count <= 0) {
            ADD_FAILURE() << "connection ended inside the request head";
            return {};
        }
        received.append(buffer, static_cast<std::size_t>(count));
        headerEnd = received.find("\r\n\r\n");
    }

    HttpRequest request;
    const std::string head = received.substr(0, headerEnd);
    const std::vector<std::string> lines = text::splitKeepingEmpty(head, '\n');
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            request.headers[text::lowercased(line.substr(0, colon))] =
                text::trimWhitespace(line.substr(colon + 1));
        }
    }
    const std::size_t length = std::stoul(request.headers.at("content-length"));
    std::string body = received.substr(headerEnd + 4);
    while (body.size() < length) {
        const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
        if (count <= 0) {
            ADD_FAILURE() << "connection ended inside the body";
            break;
        }
        body.append(buffer, static_cast<std::size_t>(count));
    }
    request.body.assign(body.begin(), body.end());

    static constexpr char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
                                     "Connection: close\r\n\r\n";
    EXPECT_EQ(::send(client, answer, sizeof answer - 1, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof answer - 1));
    ::close(client);
    return request;
}

// Runs curl with the given form arguments against the listener and returns the request it
// sent. The proxy settings of the environment are ignored so that nothing leaves loopback.
HttpRequest postFormWithCurl(const std::vector<std::string> &formArguments) {
    LoopbackListener listener;
    std::vector<std::string> arguments = {
        "curl",      "-q",      "--silent",   "--show-error",
        "--noproxy", "*",       "-o",         "/dev/null",
        "-H",        "Expect:", "--max-time", std::to_string(hangGuardSeconds)};
    arguments.insert(arguments.end(), formArguments.begin(), formArguments.end());
    arguments.push_back("http://127.0.0.1:" + std::to_string(listener.port()) + "/api/upload");
    std::vector<char *> argv;
    for (std::string &argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_t curl = 0;
    if (::posix_spawnp(&curl, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start curl";
        return {};
    }
    HttpRequest request;
    if (const int client = listener.accept(); client >= 0) {
        request = captureRequest(client);
    } else {
        ADD_FAILURE() << "curl did not connect";
    }
    int status = 0;
    ::waitpid(curl, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "curl status " << status;
    return request;
}

TEST(MultipartPartsFromCurl, TextFieldAndBinaryFile) {
    // A file full of what a delimiter could be confused with: CR LF, runs of dashes like the
    // ones curl puts in its boundaries, a blank line, and 2 MiB of every byte value (so the
    // body arrives in many reads).
    std::string content = "SIMPLE  =                    T\r\n--\r\n\r\n";
    content.append(std::string(40, '-')).append("\r\n");
    content.append("\r\n--------------------------0123456789abcdef\r\n");
    for (int i = 0; i < (2 << 20); ++i) {
        content.push_back(static_cast<char>((i * 7) % 256));
    }
    content.append("\r\n--\r\n");

    test::TempDir folder;
    const auto file = folder / "m31 stack.fits";
    test::writeFile(file, content);

    const HttpRequest request =
        postFormWithCurl({"-F", "note=plain value", "-F",
                          "image=@" + file.string() + ";type=application/octet-stream"});
    ASSERT_EQ(request.headers.count("content-type"), 1u);
    EXPECT_EQ(request.headers.at("content-type").rfind("multipart/form-data; boundary=", 0), 0u);

    const auto parts = request.multipartParts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].dispositionName(), "note");
    EXPECT_EQ(parts[0].dispositionFilename(), std::nullopt);
    EXPECT_EQ(parts[0].body, HttpRequest::Bytes(std::string_view("plain value").begin(),
                                                std::string_view("plain value").end()));
    EXPECT_EQ(parts[1].dispositionName(), "image");
    EXPECT_EQ(parts[1].dispositionFilename(), "m31 stack.fits");
    EXPECT_EQ(parts[1].headers.at("content-type"), "application/octet-stream");
    EXPECT_EQ(parts[1].body, HttpRequest::Bytes(content.begin(), content.end()));
}

} // namespace
} // namespace quintarvel
