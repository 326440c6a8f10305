#include "platform/AtomicFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quintarvel {
namespace {

std::size_t entries(const std::filesystem::path &folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(folder))
        ++n;
    return n;
}

TEST(AtomicFile, ReplacesTheFileAndLeavesNothingBeside) {
    test::TempDir dir;
    const auto file = dir / "quintarvel-0.cfg";
    ASSERT_TRUE(writeFileAtomically(file, "first\n"));
    EXPECT_EQ(test::readFile(file), "first\n");
    ASSERT_TRUE(writeFileAtomically(file, ""));
    EXPECT_EQ(test::readFile(file), "");
    EXPECT_EQ(entries(dir.path()), 1u);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(AtomicFile, FailsWithoutStrayFilesWhenTheDestinationCannotBeReplaced) {
    test::TempDir dir;
    // A folder in the way cannot be replaced by a file, whoever runs the test.
    std::filesystem::create_directory(dir / "quintarvel-0.cfg");
    EXPECT_FALSE(writeFileAtomically(dir / "quintarvel-0.cfg", "x"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "quintarvel-0.cfg"));
    EXPECT_EQ(entries(dir.path()), 1u);
    EXPECT_FALSE(writeFileAtomically(dir / "missing" / "quintarvel-0.cfg", "x"));
}

} // namespace
} // namespace quintarvel
