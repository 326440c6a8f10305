#include "platform/Workspace.h"

#include "support/TempDir.h"
#include "support/TestTrash.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quintarvel {
namespace {

using test::readFile;
using test::writeFile;
using Names = std::vector<std::string>;

class WorkspaceTest : public ::testing::Test {
  protected:
    void SetUp() override { trash.empty(); }
    void TearDown() override { trash.empty(); }

    test::TestTrash &trash = test::TestTrash::instance();
    test::TempDir dir;
};

TEST_F(WorkspaceTest, MovesFilesToTheHomeTrashWithTheirRecordsSkippingMissingOnes) {
    writeFile(dir / "a.xy", "stars");
    writeFile(dir / "b 100%.wcs", "solution");
    EXPECT_EQ(workspace::recycle(
                  {dir / "missing.xy", dir / "a.xy", dir / "no-folder" / "x", dir / "b 100%.wcs"}),
              2u);
    EXPECT_FALSE(std::filesystem::exists(dir / "a.xy"));
    EXPECT_EQ(trash.names(), (Names{"a.xy", "b 100%.wcs"}));
    EXPECT_EQ(readFile(trash.filesFolder() / "a.xy"), "stars");
    EXPECT_EQ(trash.info("a.xy").rfind("[Trash Info]\n", 0), 0u);
    EXPECT_NE(trash.info("a.xy").find("\nDeletionDate="), std::string::npos);
    EXPECT_EQ(trash.originalPath("b 100%.wcs"), (dir / "b 100%.wcs").string());
    EXPECT_EQ(workspace::recycle({}), 0u);
}

TEST_F(WorkspaceTest, SameNameTwiceKeepsBothAndALinkGoesWithoutItsTarget) {
    writeFile(dir / "same.xy", "first");
    workspace::recycle({dir / "same.xy"});
    writeFile(dir / "same.xy", "second");
    workspace::recycle({dir / "same.xy"});
    EXPECT_EQ(trash.names().size(), 2u);

    writeFile(dir / "target", "kept");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(workspace::recycle({dir / "link"}), 1u);
    EXPECT_EQ(readFile(dir / "target"), "kept");
    EXPECT_TRUE(std::filesystem::is_symlink(trash.filesFolder() / "link"));
}

} // namespace
} // namespace quintarvel
