#include "platform/Folders.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace quintarvel {
namespace {

TEST(Folders, DataHomeFallsBackToHomeAndTheTemporaryFolderEndsInSlash) {
    setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(folders::groupContainer("G")->string(), "/srv/data/G");
    // A relative value is not a usable base: fall back to HOME; without it there is none.
    setenv("XDG_DATA_HOME", "relative", 1);
    setenv("HOME", "/home/astro", 1);
    EXPECT_EQ(folders::applicationSupport()->string(), "/home/astro/.local/share");
    unsetenv("HOME");
    EXPECT_FALSE(folders::applicationSupport());

    setenv("TMPDIR", "/var/tmp/q", 1);
    EXPECT_EQ(*folders::temporaryDirectory(), "/var/tmp/q/");
    unsetenv("TMPDIR");
    auto folder = folders::temporaryDirectory();
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->back(), '/');
    struct stat info {};
    ASSERT_EQ(stat(folder->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(Folders, PrivateFolderRefusesOpenFoldersAndLinks) {
    test::TempDir dir;
    const std::string fresh = (dir / "fresh").string();
    EXPECT_EQ(*folders::privateFolder(fresh), fresh + "/");
    const std::string open = (dir / "open").string();
    mkdir(open.c_str(), 0777);
    chmod(open.c_str(), 0777);
    EXPECT_FALSE(folders::privateFolder(open));
    const std::string link = (dir / "link").string();
    ASSERT_EQ(symlink(fresh.c_str(), link.c_str()), 0);
    EXPECT_FALSE(folders::privateFolder(link));
}

} // namespace
} // namespace quintarvel
