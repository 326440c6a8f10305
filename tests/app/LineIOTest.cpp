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
    FileHandle writer(fds[1]);
    writer.writeData(bytes);
    return FileHandle(fds[0]);
}

TEST(ReadLine, SplitsOnLineFeedOnly) {
    auto h = handleReading("abc\n");
    EXPECT_EQ(readLine(h), "abc");
    EXPECT_EQ(readLine(h), std::nullopt);
    EXPECT_EQ(readLine(h), std::nullopt); // the end is not remembered, but stays the end

    auto unterminated = handleReading("abc");
    EXPECT_EQ(readLine(unterminated), "abc");
    EXPECT_EQ(readLine(unterminated), std::nullopt);

    auto empties = handleReading("\n\n");
    EXPECT_EQ(readLine(empties), "");
    EXPECT_EQ(readLine(empties), "");
    EXPECT_EQ(readLine(empties), std::nullopt);

    auto crlf = handleReading("abc\r\nx\0y\n"s);
    EXPECT_EQ(readLine(crlf), "abc\r");
    EXPECT_EQ(readLine(crlf), "x\0y"s);

    auto empty = handleReading("");
    EXPECT_EQ(readLine(empty), std::nullopt);
}

TEST(ReadLine, InvalidUtf8GivesNothingAndConsumesOnlyThatLine) {
    auto h = handleReading("ok\nbad\xFF\nnext\n");
    EXPECT_EQ(readLine(h), "ok");
    EXPECT_EQ(readLine(h), std::nullopt);
    EXPECT_EQ(readLine(h), "next");
}

TEST(ReadLine, TakesNothingPastTheLineFeed) {
    auto h = handleReading("first\nrest");
    EXPECT_EQ(readLine(h), "first");
    auto rest = h.readDataOfLength(10);
    EXPECT_EQ(std::string(rest.begin(), rest.end()), "rest");
}

TEST(WriteLine, WritesTextAndLineFeedSeparately) {
    // Packets keep write boundaries visible.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    FileHandle writer(fds[0]);
    writeLine(writer, "abc");
    writeLine(writer, "");
    char buffer[16];
    EXPECT_EQ(recv(fds[1], buffer, sizeof buffer, 0), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(recv(fds[1], buffer, sizeof buffer, 0), 1);
    EXPECT_EQ(buffer[0], '\n');
    EXPECT_EQ(recv(fds[1], buffer, sizeof buffer, 0), 1); // the empty line is one line feed
    EXPECT_EQ(buffer[0], '\n');
    close(fds[1]);
}

TEST(WriteLine, VanishedReaderIsIgnored) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    FileHandle writer(fds[1]);
    writeLine(writer, "nobody listens");
    SUCCEED();
}

} // namespace
} // namespace quintarvel
