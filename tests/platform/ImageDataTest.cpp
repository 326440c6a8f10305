#include "platform/ImageData.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace quintarvel {
namespace {

TEST(ImageData, ReadsWholeRegularFilesAndRefusesTheRestWithoutBlocking) {
    test::TempDir dir;
    const std::string bytes("\x00\x01RAW\xFF", 6);
    test::writeFile(dir / "a.bin", bytes);
    auto data = ImageData::contentsOfFile(dir / "a.bin");
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data->bytes()), data->size()), bytes);
    test::writeFile(dir / "empty", "");
    ASSERT_TRUE(ImageData::contentsOfFile(dir / "empty"));
    EXPECT_TRUE(ImageData::contentsOfFile(dir / "empty")->empty());

    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(ImageData::contentsOfFile(dir / "fifo")); // no writer: must not wait for one
    EXPECT_FALSE(ImageData::contentsOfFile(dir.path()));
    EXPECT_FALSE(ImageData::contentsOfFile(dir / "missing"));
}

} // namespace
} // namespace quintarvel
