#include "platform/FileHandle.h"

#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace quintarvel {
namespace {

TEST(FileHandle, ReadsFewerBytesOnlyAtTheEndAndFailsQuietlyOnceClosedOrAbandoned) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    FileHandle reader(fds[0]);
    {
        FileHandle writer(fds[1]);
        EXPECT_TRUE(writer.writeData("hello"));
    }
    EXPECT_EQ(reader.readDataOfLength(3).size(), 3u);
    EXPECT_EQ(reader.readDataOfLength(10).size(), 2u);
    EXPECT_TRUE(reader.readDataOfLength(10).empty());
    reader.closeFile();
    EXPECT_TRUE(reader.readDataOfLength(1).empty());

    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    FileHandle writer(fds[1]);
    EXPECT_FALSE(writer.writeData("lost")); // the reader went away: no SIGPIPE
    writer.synchronizeFile();               // flushing a pipe is harmless
    writer.closeFile();
    EXPECT_FALSE(writer.writeData("x"));
}

TEST(Utf8, AcceptsWellFormedAndRejectsMalformedSequences) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain \r\t\0"));
    EXPECT_TRUE(isValidUtf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\xAD")); // é € 🔭
    for (const char *bad : {"\xFF", "\xC0\xAF" /* overlong */, "\xED\xA0\x80" /* surrogate */,
                            "\xF4\x90\x80\x80" /* above U+10FFFF */, "\xE2\x82" /* cut short */,
                            "\x80" /* lone continuation */})
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
}

} // namespace
} // namespace quintarvel
