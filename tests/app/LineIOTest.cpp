#include "app/LineIO.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::string_literals;

namespace quintarvel {
namespace {

// A handle reading `bytes`, which were written and closed beforehand.
FileHandle handleReading(const std::string &bytes) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    FileHandle(fds[1]).writeData(bytes);
    return FileHandle(fds[0]);
}

TEST(ReadLine, SplitsOnLineFeedOnlyAndInvalidUtf8GivesNothingForThatLine) {
    auto h = handleReading("abc\r\n\nx\0y\nbad\xFF\nnext\nfirst\nrest"s);
    EXPECT_EQ(readLine(h), "abc\r");
    EXPECT_EQ(readLine(h), "");
    EXPECT_EQ(readLine(h), "x\0y"s);
    EXPECT_EQ(readLine(h), std::nullopt); // consumes only the bad line
    EXPECT_EQ(readLine(h), "next");
    EXPECT_EQ(readLine(h), "first");
    auto rest = h.readDataOfLength(10); // nothing was taken past the line feed
    EXPECT_EQ(std::string(rest.begin(), rest.end()), "rest");

    auto unterminated = handleReading("abc");
    EXPECT_EQ(readLine(unterminated), "abc");
    EXPECT_EQ(readLine(unterminated), std::nullopt);
    EXPECT_EQ(readLine(unterminated), std::nullopt);
}

TEST(WriteLine, WritesTextAndLineFeedSeparatelyAndIgnoresAVanishedReader) {
    int fds[2]; // packets keep write boundaries visible
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    FileHandle writer(fds[0]);
    writeLine(writer, "abc");
    writeLine(writer, "");
    char buffer[16];
    EXPECT_EQ(recv(fds[1], buffer, sizeof buffer, 0), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    for (int i = 0; i < 2; ++i) { // the empty line is one line feed
        EXPECT_EQ(recv(fds[1], buffer, sizeof buffer, 0), 1);
        EXPECT_EQ(buffer[0], '\n');
    }
    close(fds[1]);
    writeLine(writer, "nobody listens"); // no SIGPIPE death
}

} // namespace
} // namespace quintarvel
