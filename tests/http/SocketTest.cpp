#include "http/Socket.h"

#include "pages/Files.h"
#include "support/SocketPair.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <future>
#include <latch>
#include <limits>
#include <thread>

using quintarvel::Socket;
using quintarvel::SocketError;
using quintarvel::test::SocketPair;
using Bytes = std::vector<std::uint8_t>;

namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

std::string textOf(const Bytes &bytes) {
    return std::string(bytes.begin(), bytes.end());
}

template <class F> SocketError::Case caseOf(F &&operation) {
    try {
        operation();
    } catch (const SocketError &error) {
        return error.kind();
    }
    ADD_FAILURE() << "no SocketError";
    return SocketError::Case::convertingPeerNameFailed;
}

} // namespace

TEST(Socket, WritesDeliverTheirBytesInOrderAndEmptyOnesNothing) {
    SocketPair pair;
    Socket socket(pair.takeServer());
    const Bytes slice{'X', 'c', 'd', 'Y'};
    socket.writeFromPointer("x", 0);
    socket.writeFromPointer("x", -5);
    socket.writeNSData(nullptr, 0);
    socket.writeString("a");
    socket.writeBytes({'b'});
    socket.writeByteSlice(std::span(slice).subspan(1, 2));
    socket.writeNSData("e", 1);
    socket.writeDataContents({'f'});
    socket.writeFromPointer("gh", 2);
    EXPECT_EQ(pair.drainClient(), "abcdefgh");
}

TEST(Socket, WritesToAVanishedPeerFailWithoutSigpipe) {
    quintarvel::test::TempDir dir;
    quintarvel::test::writeFile(dir / "f.txt", "content");
    auto file = quintarvel::files::openReading((dir / "f.txt").string());
    SocketPair pair;
    Socket socket(pair.takeServer());
    pair.closeClient();
    // SIGPIPE keeps its default action here: were it raised, the test process would end.
    try {
        socket.writeString("hello");
        FAIL() << "write succeeded";
    } catch (const SocketError &error) {
        EXPECT_EQ(error.kind(), SocketError::Case::writeFailed);
        EXPECT_EQ(std::string(error.what()),
                  "writeFailed(\"" + std::string(std::strerror(EPIPE)) + "\")");
    }
    try {
        socket.sendFile(*file);
        FAIL() << "sendFile succeeded";
    } catch (const SocketError &error) {
        EXPECT_EQ(error.kind(), SocketError::Case::writeFailed);
        EXPECT_EQ(error.text(), std::string("sendfile: ") + std::strerror(EPIPE));
    }
    file->close();
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(Socket, ReadBytesAsksForPiecesOfAtMost1024) {
    // Packet sockets cut a record at the size a read asks for, so the result shows each request.
    const auto read2500 = [](const std::vector<std::pair<char, std::size_t>> &records) {
        SocketPair pair(SOCK_SEQPACKET);
        Socket socket(pair.takeServer());
        for (const auto &[letter, size] : records)
            pair.send(std::string(size, letter));
        return textOf(socket.readBytes(2500));
    };
    EXPECT_EQ(read2500({{'a', 2000}, {'b', 2000}, {'c', 2000}}),
              std::string(1024, 'a') + std::string(1024, 'b') + std::string(452, 'c'));
    // After a short read the next request is min(1024, remaining).
    EXPECT_EQ(read2500({{'a', 100}, {'b', 2000}, {'c', 2000}, {'d', 2000}}),
              std::string(100, 'a') + std::string(1024, 'b') + std::string(1024, 'c') +
                  std::string(352, 'd'));
}

TEST(Socket, EndOfStreamIsRecvFailedAndHugeLengthsTakeStorageAsBytesCome) {
    SocketPair pair;
    Socket socket(pair.takeServer());
    pair.send("z0123456789");
    pair.shutdownClientWrite();
    EXPECT_TRUE(socket.readBytes(0).empty());
    EXPECT_TRUE(socket.readBytes(-3).empty());
    EXPECT_EQ(socket.readByte(), 'z');
    // Storage for the whole length up front would fail or abort here instead.
    EXPECT_EQ(caseOf([&] { socket.readBytes(std::numeric_limits<std::int64_t>::max()); }),
              SocketError::Case::recvFailed);
    EXPECT_EQ(caseOf([&] { socket.readByte(); }), SocketError::Case::recvFailed);
    EXPECT_EQ(caseOf([&] { socket.readTextLine(); }), SocketError::Case::recvFailed);
}

TEST(Socket, TextLinesAreLatin1WithoutControlBytesAndBounded) {
    SocketPair pair;
    Socket socket(pair.takeServer());
    pair.send(std::string("GET / HTTP/1.1\r\n") + std::string("a\tb\0c\n", 6) + "\xC3\xA9\n" +
              "\n" + "\x7F\x80\xFF\n" + "abcd\n" + "\r\r\r\r\n" + "abcdefgh\n" + "partial");
    pair.shutdownClientWrite();
    EXPECT_EQ(socket.readTextLine(), "GET / HTTP/1.1");
    EXPECT_EQ(socket.readTextLine(), "abc");
    EXPECT_EQ(socket.readTextLine(), "\u00C3\u00A9");
    EXPECT_EQ(socket.readTextLine(), "");
    EXPECT_EQ(socket.readTextLine(), "\x7F\u0080\u00FF");
    EXPECT_EQ(socket.readTextLineWithin(4), "abcd");
    EXPECT_EQ(socket.readTextLineWithin(4), ""); // dropped bytes count, so a flood of them ends
    // Too long: the read stops one byte after the bound.
    EXPECT_EQ(socket.readTextLineWithin(4), std::nullopt);
    EXPECT_EQ(socket.readTextLine(), "fgh");
    EXPECT_EQ(caseOf([&] { socket.readTextLine(); }), SocketError::Case::recvFailed);
}

TEST(Socket, CloseAndReleaseCloseTheDescriptorOnce) {
    SocketPair pair;
    const int fd = pair.takeServer();
    auto socket = std::make_shared<Socket>(fd);
    socket->close();
    EXPECT_TRUE(socket->isShutdown());
    EXPECT_FALSE(isOpen(fd));
    // The system hands the number out again; neither a second close nor the release may touch it.
    const int reused = ::dup(pair.client());
    socket->close();
    socket.reset();
    EXPECT_TRUE(isOpen(reused));
    { Socket released(reused); }
    EXPECT_FALSE(isOpen(reused));
}

TEST(Socket, TwoThreadsClosingTogetherCloseOnce) {
    for (int round = 0; round < 200; ++round) {
        SocketPair pair;
        const int fd = pair.takeServer();
        auto socket = std::make_shared<Socket>(fd);
        std::latch start(3);
        std::atomic<int> closed{0};
        int reused = -1;
        // A third thread takes the number the moment it is free; a second close would hit it.
        std::thread taker([&] {
            start.arrive_and_wait();
            while (reused != fd) {
                const bool closersDone = closed == 2;
                reused = ::fcntl(pair.client(), F_DUPFD_CLOEXEC, fd);
                if (reused != fd) {
                    ::close(reused);
                    ASSERT_FALSE(closersDone) << "descriptor still open after both closes";
                }
            }
        });
        const auto closer = [&] {
            start.arrive_and_wait();
            socket->close();
            ++closed;
        };
        std::thread first(closer), second(closer);
        first.join();
        second.join();
        taker.join();
        ASSERT_EQ(reused, fd);
        EXPECT_TRUE(isOpen(reused)) << "round " << round;
        ::close(reused);
    }
}

TEST(Socket, CloseEndsABlockedReadAndLaterUseFails) {
    SocketPair pair;
    auto socket = std::make_shared<Socket>(pair.takeServer());
    std::promise<void> reading;
    auto result = std::async(std::launch::async, [&] {
        reading.set_value();
        return caseOf([&] { socket->readByte(); });
    });
    reading.get_future().wait();
    socket->close();
    EXPECT_EQ(result.get(), SocketError::Case::recvFailed);
    EXPECT_EQ(caseOf([&] { socket->writeString("x"); }), SocketError::Case::writeFailed);
    EXPECT_EQ(caseOf([&] { socket->localPort(); }), SocketError::Case::getSockNameFailed);
}

// A socket whose user pauses once between deciding to make its system call and making it:
// the gap in which a close from another thread used to free the number for the next
// connection, whose bytes the call then read or to which it wrote.
struct PausingSocket : Socket {
    using Socket::Socket;
    int socketFileDescriptor() const override {
        if (pauseOn.load() == std::this_thread::get_id()) {
            pauseOn = std::thread::id();
            inGap.count_down();
            resume.wait();
        }
        return Socket::socketFileDescriptor();
    }
    mutable std::atomic<std::thread::id> pauseOn;
    mutable std::latch inGap{1};
    mutable std::latch resume{1};
};

TEST(Socket, CloseDuringAnotherThreadsCallKeepsTheNumberUntilThatCallEnds) {
    const std::function<void(Socket &)> operations[] = {
        [](Socket &s) { s.readByte(); },
        [](Socket &s) { s.writeString("for the old connection"); },
    };
    for (const auto &operation : operations) {
        SocketPair pair;
        const int fd = pair.takeServer();
        auto socket = std::make_shared<PausingSocket>(fd);
        auto user = std::async(std::launch::async, [&] {
            socket->pauseOn = std::this_thread::get_id();
            return caseOf([&] { operation(*socket); });
        });
        socket->inGap.wait();
        socket->close();
        EXPECT_TRUE(isOpen(fd)) << "closed while a call may still use the number";
        // The next connection takes the lowest free numbers.
        SocketPair next;
        next.send("for the new connection");
        socket->resume.count_down();
        const SocketError::Case failure = user.get();
        EXPECT_TRUE(failure == SocketError::Case::recvFailed ||
                    failure == SocketError::Case::writeFailed);
        EXPECT_EQ(next.drainClient(), "");
        next.shutdownClientWrite();
        Socket nextServer(next.takeServer());
        EXPECT_EQ(textOf(nextServer.readBytes(22)), "for the new connection");
        EXPECT_FALSE(isOpen(fd)) << "the last user closes it";
    }
}
