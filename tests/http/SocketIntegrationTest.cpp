#include "http/Socket.h"

#include "pages/Files.h"
#include "support/LoopbackHttpClient.h"
#include "support/OpenDescriptors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>

using quintarvel::Socket;
using quintarvel::SocketError;
using quintarvel::test::LoopbackHttpClient;

namespace {

std::shared_ptr<Socket> loopbackListener(const std::string &address = "127.0.0.1") {
    return Socket::openListener(0, address.find(':') == std::string::npos, 128, address);
}

} // namespace

TEST(SocketIntegration, ListenersAcceptAndNameTheirPeers) {
    const auto v4 = loopbackListener();
    EXPECT_TRUE(v4->usesIPv4());
    LoopbackHttpClient client(v4->localPort());
    const auto accepted = v4->acceptClient();
    EXPECT_EQ(accepted->peerAddress(), "127.0.0.1");
    EXPECT_EQ(accepted->localPort(), v4->localPort());

    std::shared_ptr<Socket> v6;
    try {
        v6 = loopbackListener("::1");
    } catch (const SocketError &) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    EXPECT_FALSE(v6->usesIPv4());
    LoopbackHttpClient client6(v6->localPort(), true);
    EXPECT_EQ(v6->acceptClient()->peerAddress(), "::1");
    // An IPv6 listener takes IPv4 clients as mapped addresses.
    const auto mapped = loopbackListener("::ffff:127.0.0.1");
    LoopbackHttpClient client4(mapped->localPort());
    EXPECT_EQ(mapped->acceptClient()->peerAddress(), "::ffff:127.0.0.1");
}

TEST(SocketIntegration, BusyPortOrUnparsableAddressIsBindFailedAndLeavesNoDescriptor) {
    const auto first = loopbackListener();
    const auto before = quintarvel::test::openDescriptorTargets();
    try {
        Socket::openListener(first->localPort(), true, 128, "127.0.0.1");
        FAIL() << "second listener on a busy port";
    } catch (const SocketError &error) {
        EXPECT_EQ(error.kind(), SocketError::Case::bindFailed);
        EXPECT_EQ(error.text(), std::strerror(EADDRINUSE));
    }
    // Refused, never widened to every address.
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
    const auto leftOpen = quintarvel::test::descriptorsOpenedSince(before);
    EXPECT_TRUE(leftOpen.empty()) << ::testing::PrintToString(leftOpen);
}

TEST(SocketIntegration, WritesToAClosedPeerFailWithoutSigpipe) {
    const auto listener = loopbackListener();
    auto client = std::make_unique<LoopbackHttpClient>(listener->localPort());
    const auto server = listener->acceptClient();
    client.reset();
    // The first writes may still be buffered; the peer's reset then fails the next one.
    const std::vector<std::uint8_t> chunk(64 * 1024, 'x');
    EXPECT_THROW(
        {
            for (int i = 0; i < 1000; ++i)
                server->writeBytes(chunk);
        },
        SocketError);
}

TEST(SocketIntegration, SendFileSendsALargeFileWholeAfterAPartialRead) {
    quintarvel::test::TempDir dir;
    std::string content(8 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 % 251);
    quintarvel::test::writeFile(dir / "big.bin", content);
    const auto file = quintarvel::files::openReading((dir / "big.bin").string());
    std::vector<std::uint8_t> head(4096);
    file->read(head);

    const auto listener = loopbackListener();
    LoopbackHttpClient client(listener->localPort());
    const auto server = listener->acceptClient();
    auto received = std::async(std::launch::async, [&] { return client.readToEnd(); });
    server->sendFile(*file);
    server->close();
    file->close();
    EXPECT_TRUE(received.get() == content);
}

TEST(SocketIntegration, CloseEndsABlockedAccept) {
    const auto listener = loopbackListener();
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
