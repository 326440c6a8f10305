#include "platform/Folders.h"

#include "support/FileModes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(Folders, MakePrivateGivesANewFolderExactly0700WhateverTheUmask) {
    test::TempDir dir;
    for (const mode_t mask : {0000, 0022, 0277}) {
        const auto folder = dir / ("made-with-" + std::to_string(mask));
        {
            test::ScopedUmask umask(mask);
            EXPECT_EQ(folders::makePrivate(folder).state, folders::FolderPrivacy::State::made);
        }
        EXPECT_EQ(test::modeOf(folder.c_str()), 0700u) << "umask " << mask;
    }
    const auto nested = dir / "parents" / "made" / "container";
    EXPECT_EQ(folders::makePrivate(nested).state, folders::FolderPrivacy::State::made);
    EXPECT_EQ(test::modeOf(nested.c_str()), 0700u);
    EXPECT_EQ(folders::makePrivate(nested).state, folders::FolderPrivacy::State::kept);
}

TEST(Folders, MakePrivateNarrowsTheFolderALinkLeadsToAndRefusesWhatIsNoFolder) {
    test::TempDir dir;
    const auto moved = dir / "moved";
    ASSERT_EQ(mkdir(moved.c_str(), 0700), 0);
    ASSERT_EQ(chmod(moved.c_str(), 0755), 0);
    const auto link = dir / "container";
    ASSERT_EQ(symlink(moved.c_str(), link.c_str()), 0);
    const auto privacy = folders::makePrivate(link);
    EXPECT_EQ(privacy.state, folders::FolderPrivacy::State::narrowed);
    EXPECT_EQ(privacy.oldMode, 0755u);
    EXPECT_EQ(privacy.mode, 0700u);
    EXPECT_EQ(test::modeOf(moved.c_str()), 0700u);

    test::writeFile(dir / "file", "not a folder");
    EXPECT_THROW(folders::makePrivate(dir / "file"), std::filesystem::filesystem_error);
    ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "broken").c_str()), 0);
    EXPECT_THROW(folders::makePrivate(dir / "broken"), std::filesystem::filesystem_error);
    EXPECT_FALSE(std::filesystem::exists(dir / "gone"));
}

TEST(Folders, MakePrivateLeavesAFolderOrALinkOfAnotherUserAlone) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    const passwd *nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody";
    test::TempDir dir;
    const auto theirs = dir / "theirs";
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    ASSERT_EQ(chown(theirs.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_EQ(folders::makePrivate(theirs).state, folders::FolderPrivacy::State::notOurs);
    EXPECT_EQ(test::modeOf(theirs.c_str()), 0755u);

    const auto ours = dir / "ours";
    ASSERT_EQ(mkdir(ours.c_str(), 0755), 0);
    ASSERT_EQ(chmod(ours.c_str(), 0755), 0);
    const auto link = dir / "container";
    ASSERT_EQ(symlink(ours.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_EQ(folders::makePrivate(link).state, folders::FolderPrivacy::State::notOurs);
    EXPECT_EQ(test::modeOf(ours.c_str()), 0755u);
}

} // namespace
} // namespace quintarvel
