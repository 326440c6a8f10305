#include "pages/Files.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace files = quintarvel::files;
using quintarvel::FileError;
using quintarvel::test::TempDir;
using quintarvel::test::writeFile;
using Bytes = std::vector<std::uint8_t>;

namespace {

template <class F> int errnoOf(F &&operation) {
    try {
        operation();
    } catch (const FileError &error) {
        return error.code();
    }
    ADD_FAILURE() << "no FileError";
    return -1;
}

std::vector<std::string> sortedEntries(const std::filesystem::path &path) {
    auto names = files::directoryEntries(path.string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(Files, FailuresCarryTheirErrno) {
    TempDir dir;
    const std::string missing = (dir / "missing").string();
    EXPECT_EQ(errnoOf([&] { files::openReading(missing); }), ENOENT);
    EXPECT_EQ(errnoOf([&] { files::openReadWrite(missing); }), ENOENT);
    EXPECT_EQ(errnoOf([&] { files::openWriting((dir / "no" / "f").string()); }), ENOENT);
    errno = 0;
    EXPECT_EQ(files::fopenPath(missing, "rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // A failing read is an error, not the end of the file.
    Bytes buffer(4);
    EXPECT_EQ(errnoOf([&] { files::openWithMode((dir / "w").string(), "w")->read(buffer); }),
              EBADF);
}

TEST(Files, WriteThenReadBackWithShortReadsAtTheEnd) {
    TempDir dir;
    const std::string path = (dir / "f").string();
    {
        const auto file = files::openWriting(path);
        file->write({});
        file->write({1, 2, 3, 4});
        EXPECT_EQ(file->close(), 0);
    }
    const auto file = files::openReading(path);
    Bytes buffer(10, 9);
    EXPECT_EQ(file->read(buffer), 4u);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(file->read(buffer), 0u);
    EXPECT_TRUE(file->seek(1));
    Bytes two(2);
    EXPECT_EQ(file->read(two), 2u);
    EXPECT_EQ(two, (Bytes{2, 3}));
    EXPECT_FALSE(file->seek(-1));
}

TEST(Files, PathTestsFollowLinksAndTellNotADirectoryFromMissing) {
    TempDir dir;
    writeFile(dir / "file", "x");
    std::filesystem::create_directory(dir / "folder");
    std::filesystem::create_directory_symlink(dir / "folder", dir / "link");
    EXPECT_TRUE(files::pathExists((dir / "file").string()));
    EXPECT_FALSE(files::pathExists((dir / "missing").string()));
    EXPECT_TRUE(files::isDirectoryPath((dir / "link").string()));
    EXPECT_FALSE(files::isDirectoryPath((dir / "file").string()));
    EXPECT_FALSE(files::isDirectoryPath((dir / "missing").string()));
    const std::string below = (dir / "file").string() + "/name";
    EXPECT_EQ(errnoOf([&] { files::pathExists(below); }), ENOTDIR);
    EXPECT_EQ(errnoOf([&] { files::isDirectoryPath(below); }), ENOTDIR);
    EXPECT_EQ(files::statPath((dir / "file").string(),
                              [](const auto &record) { return record ? record->st_size : -1; }),
              1);
}

TEST(Files, DirectoryEntriesSkipNamesThatAreNotUtf8) {
    TempDir dir;
    std::filesystem::create_directory(dir / "empty");
    EXPECT_EQ(sortedEntries(dir / "empty"), (std::vector<std::string>{".", ".."}));
    writeFile(dir / "caf\xC3\xA9", "");
    writeFile(dir / "bad\xFF", "");
    EXPECT_EQ(sortedEntries(dir.path()),
              (std::vector<std::string>{".", "..", "caf\xC3\xA9", "empty"}));
    EXPECT_EQ(errnoOf([&] { files::directoryEntries((dir / "caf\xC3\xA9").string()); }), ENOTDIR);
    EXPECT_EQ(errnoOf([&] { files::directoryEntries((dir / "missing").string()); }), ENOENT);
}
