#include "pages/Files.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

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

} // namespace

TEST(Files, OpeningAMissingFileThrowsENOENT) {
    TempDir dir;
    const std::string missing = (dir / "missing").string();
    EXPECT_EQ(errnoOf([&] { files::openReading(missing); }), ENOENT);
    EXPECT_EQ(errnoOf([&] { files::openReadWrite(missing); }), ENOENT);
    errno = 0;
    EXPECT_EQ(files::fopenPath(missing, "rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(errnoOf([&] { files::openWriting((dir / "no" / "f").string()); }), ENOENT);
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
    Bytes empty;
    EXPECT_EQ(file->read(empty), 0u);
    Bytes buffer(10, 9);
    EXPECT_EQ(file->read(buffer), 4u);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(file->read(buffer), 0u);
    EXPECT_TRUE(file->seek(1));
    Bytes two(2);
    EXPECT_EQ(file->read(two), 2u);
    EXPECT_EQ(two, (Bytes{2, 3}));
    EXPECT_TRUE(file->seek(100));
    EXPECT_FALSE(file->seek(-1));
    EXPECT_EQ(file->close(), 0);
}

TEST(Files, FailingReadAndWriteCarryErrno) {
    TempDir dir;
    writeFile(dir / "f", "data");
    const auto readOnly = files::openReading((dir / "f").string());
    EXPECT_EQ(errnoOf([&] { readOnly->write({1}); }), EBADF);
    readOnly->close();
    const auto writeOnly = files::openWithMode((dir / "g").string(), "w");
    Bytes buffer(4);
    EXPECT_EQ(errnoOf([&] { writeOnly->read(buffer); }), EBADF);
    writeOnly->close();
}

TEST(Files, ExistenceAndFolderTests) {
    TempDir dir;
    writeFile(dir / "file", "x");
    std::filesystem::create_directory(dir / "folder");
    std::filesystem::create_directory_symlink(dir / "folder", dir / "link");
    EXPECT_TRUE(files::pathExists((dir / "file").string()));
    EXPECT_FALSE(files::pathExists((dir / "missing").string()));
    EXPECT_TRUE(files::isDirectoryPath((dir / "folder").string()));
    EXPECT_TRUE(files::isDirectoryPath((dir / "link").string()));
    EXPECT_FALSE(files::isDirectoryPath((dir / "file").string()));
    EXPECT_FALSE(files::isDirectoryPath((dir / "missing").string()));
    // A path through a regular file is an error, not a missing path.
    const std::string below = (dir / "file").string() + "/name";
    EXPECT_EQ(errnoOf([&] { files::pathExists(below); }), ENOTDIR);
    EXPECT_EQ(errnoOf([&] { files::isDirectoryPath(below); }), ENOTDIR);
    // statPath hands the record (or none) to its function.
    EXPECT_EQ(files::statPath((dir / "file").string(),
                              [](const auto &record) { return record ? record->st_size : -1; }),
              1);
}

TEST(Files, DirectoryEntriesSkipNamesThatAreNotUtf8) {
    TempDir dir;
    std::filesystem::create_directory(dir / "empty");
    auto names = files::directoryEntries((dir / "empty").string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", ".."}));

    writeFile(dir / "good", "");
    writeFile(dir / "caf\xC3\xA9", "");
    writeFile(dir / "bad\xFF", "");
    names = files::directoryEntries(dir.path().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "caf\xC3\xA9", "empty", "good"}));

    EXPECT_EQ(errnoOf([&] { files::directoryEntries((dir / "good").string()); }), ENOTDIR);
    EXPECT_EQ(errnoOf([&] { files::directoryEntries((dir / "missing").string()); }), ENOENT);
}

TEST(Files, WorkingDirectoryAndDelimiter) {
    char buffer[4096];
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    EXPECT_EQ(files::workingDirectory(), buffer);
    EXPECT_EQ(files::pathDelimiter, "/");
}
