#include "http/Socket.h"

#include "pages/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using quintarvel::Socket;
using quintarvel::SocketError;

namespace {

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A plain client connection to a loopback port; closed with this object.
class Client {
  public:
    Client(const char *address, std::uint16_t port) {
        sockaddr_storage storage{};
        socklen_t length;
        if (std::strchr(address, ':')) {
            auto *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            inet_pton(AF_INET6, address, &v6->sin6_addr);
            length = sizeof *v6;
        } else {
            auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            inet_pton(AF_INET, address, &v4->sin_addr);
            length = sizeof *v4;
        }
        fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr *>(&storage), length) != 0) {
            throw std::runtime_error("cannot connect to " + std::string(address));
        }
    }
    ~Client() { close(); }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }
    std::string readAll() {
        std::string out;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

  private:
    int fd_ = -1;
};

bool ipv6LoopbackAvailable() {
    try {
        Socket::openListener(0, false, 1, "::1");
        return true;
    } catch (const SocketError &) {
        return false;
    }
}

} // namespace

TEST(SocketIntegration, IPv4ListenerAcceptsAndNamesItsPeer) {
    const auto listener = Socket::openListener(0, true, 128, "127.0.0.1");
    EXPECT_TRUE(listener->usesIPv4());
    ASSERT_NE(listener->localPort(), 0);
    Client client("127.0.0.1", listener->localPort());
    const auto accepted = listener->acceptClient();
    EXPECT_EQ(accepted->peerAddress(), "127.0.0.1");
    EXPECT_EQ(accepted->localPort(), listener->localPort());
}

TEST(SocketIntegration, IPv6AndMappedPeersGetTheirNumericText) {
    if (!ipv6LoopbackAvailable()) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    const auto v6 = Socket::openListener(0, false, 128, "::1");
    EXPECT_FALSE(v6->usesIPv4());
    Client client6("::1", v6->localPort());
    EXPECT_EQ(v6->acceptClient()->peerAddress(), "::1");

    // An IPv6 listener takes IPv4 clients as mapped addresses.
    const auto mapped = Socket::openListener(0, false, 128, "::ffff:127.0.0.1");
    Client client4("127.0.0.1", mapped->localPort());
    EXPECT_EQ(mapped->acceptClient()->peerAddress(), "::ffff:127.0.0.1");
}

TEST(SocketIntegration, BusyPortIsBindFailedAndLeavesNoDescriptor) {
    const auto first = Socket::openListener(0, true, 128, "127.0.0.1");
    const std::size_t before = openDescriptorCount();
    try {
        Socket::openListener(first->localPort(), true, 128, "127.0.0.1");
        FAIL() << "second listener on a busy port";
    } catch (const SocketError &error) {
        EXPECT_EQ(error.kind(), SocketError::Case::bindFailed);
        EXPECT_EQ(error.text(), std::strerror(EADDRINUSE));
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SocketIntegration, UnparsableListenAddressIsRefusedNotWidened) {
    const std::size_t before = openDescriptorCount();
    for (const auto &[address, forceIPv4] :
         {std::pair{"127.0.0.l", true}, {"::1", true}, {"not an address", false}, {"", false}}) {
        try {
            Socket::openListener(0, forceIPv4, 128, std::string(address));
            FAIL() << "listened for " << address;
        } catch (const SocketError &error) {
            EXPECT_EQ(error.kind(), SocketError::Case::bindFailed);
            EXPECT_NE(error.text().find(address), std::string::npos);
        }
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SocketIntegration, WritesToAClosedPeerFailWithoutSigpipe) {
    const auto listener = Socket::openListener(0, true, 128, "127.0.0.1");
    Client client("127.0.0.1", listener->localPort());
    const auto server = listener->acceptClient();
    client.close();
    // The first writes may still be buffered; the peer's reset then fails the next one.
    const std::vector<std::uint8_t> chunk(64 * 1024, 'x');
    try {
        for (int i = 0; i < 1000; ++i) {
            server->writeBytes(chunk);
        }
        FAIL() << "writes to a closed peer kept succeeding";
    } catch (const SocketError &error) {
        EXPECT_EQ(error.kind(), SocketError::Case::writeFailed);
    }
}

TEST(SocketIntegration, SendFileSendsALargeFileWhole) {
    quintarvel::test::TempDir dir;
    std::string content(8 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7 % 251);
    }
    quintarvel::test::writeFile(dir / "big.bin", content);
    const auto file = quintarvel::files::openReading((dir / "big.bin").string());
    std::vector<std::uint8_t> head(4096);
    file->read(head);

    const auto listener = Socket::openListener(0, true, 128, "127.0.0.1");
    Client client("127.0.0.1", listener->localPort());
    const auto server = listener->acceptClient();
    auto received = std::async(std::launch::async, [&] { return client.readAll(); });
    server->sendFile(*file);
    server->close();
    file->close();
    EXPECT_TRUE(received.get() == content);
}

TEST(SocketIntegration, CloseEndsABlockedAccept) {
    const auto listener = Socket::openListener(0, true, 128, "127.0.0.1");
    std::promise<void> started;
    auto result = std::async(std::launch::async, [&] {
        started.set_value();
        try {
            listener->acceptClient();
        } catch (const SocketError &error) {
            return error.kind();
        }
        return SocketError::Case::convertingPeerNameFailed;
    });
    started.get_future().wait();
    listener->close();
    EXPECT_EQ(result.get(), SocketError::Case::acceptFailed);
}
