#include "platform/AtomicFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quintarvel {
namespace {

std::size_t entries(const std::filesystem::path &folder) {
    auto all = std::filesystem::directory_iterator(folder);
    return std::size_t(std::distance(begin(all), end(all)));
}

TEST(AtomicFile, ReplacesTheFileOrFailsLeavingNothingBeside) {
    test::TempDir dir;
    const auto file = dir / "quintarvel-0.cfg";
    ASSERT_TRUE(writeFileAtomically(file, "first\n"));
    ASSERT_TRUE(writeFileAtomically(file, ""));
    EXPECT_EQ(test::readFile(file), "");
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    // A folder in the way cannot be replaced by a file, whoever runs the test.
    std::filesystem::create_directory(dir / "in-the-way");
    EXPECT_FALSE(writeFileAtomically(dir / "in-the-way", "x"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "in-the-way"));
    EXPECT_EQ(entries(dir.path()), 2u);
    EXPECT_FALSE(writeFileAtomically(dir / "missing" / "quintarvel-0.cfg", "x"));
}

} // namespace
} // namespace quintarvel
