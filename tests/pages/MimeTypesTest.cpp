#include "pages/MimeTypes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace quintarvel::files {
namespace {

const std::string octetStream = "application/octet-stream";

TEST(MimeTypes, TableHoldsEveryExtensionOnceInLowerCase) {
    const auto &table = mimeTypeTable();
    EXPECT_EQ(table.size(), 103u);
    for (const auto &[extension, type] : table) {
        EXPECT_FALSE(extension.empty());
        for (const char c : extension)
            EXPECT_FALSE(std::isupper(static_cast<unsigned char>(c))) << extension;
        EXPECT_FALSE(type.empty()) << extension;
    }
    EXPECT_EQ(&mimeTypeTable(), &table);
}

TEST(MimeTypes, ListedExtensionsGiveTheirType) {
    EXPECT_EQ(mimeTypeByExtension("index.html"), "text/html");
    EXPECT_EQ(mimeTypeByExtension("index.htm"), "text/html");
    EXPECT_EQ(mimeTypeByExtension("page.shtml"), "text/html");
    EXPECT_EQ(mimeTypeByExtension("/srv/sky/m31.png"), "image/png");
    EXPECT_EQ(mimeTypeByExtension("icon.svgz"), "image/svg+xml");
    EXPECT_EQ(mimeTypeByExtension("clip.ts"), "video/mp2t");
    EXPECT_EQ(mimeTypeByExtension("song.ra"), "audio/x-realaudio");
    EXPECT_EQ(mimeTypeByExtension("archive.7z"), "application/x-7z-compressed");
    EXPECT_EQ(mimeTypeByExtension("movie.avi"), "video/x-msvideo");
}

TEST(MimeTypes, ExtensionCaseDoesNotMatter) {
    EXPECT_EQ(mimeTypeByExtension("PHOTO.JPG"), "image/jpeg");
    EXPECT_EQ(mimeTypeByExtension("Report.Docx"),
              "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
    // A dotted capital I lower-cases to "i" plus a combining dot, which is no listed "ai".
    EXPECT_EQ(mimeTypeByExtension("figure.AI"), "application/postscript");
    EXPECT_EQ(mimeTypeByExtension("figure.A\u0130"), octetStream);
}

TEST(MimeTypes, OnlyTheLastExtensionOfTheLastComponentCounts) {
    EXPECT_EQ(mimeTypeByExtension("backup.tar.gz"), octetStream);
    EXPECT_EQ(mimeTypeByExtension("notes.png.txt"), "text/plain");
    EXPECT_EQ(mimeTypeByExtension("images.png/README"), octetStream);
    EXPECT_EQ(mimeTypeByExtension("images/m31.png/"), "image/png");
    EXPECT_EQ(mimeTypeByExtension("m31. png"), octetStream);
}

TEST(MimeTypes, NoOrUnlistedExtensionGivesOctetStream) {
    for (const char *path :
         {"", "README", "trailing.", ".png", "dir/.hidden", "/", "a.exe", "a.unknown", "a.bin"})
        EXPECT_EQ(mimeTypeByExtension(path), octetStream) << '"' << path << '"';
}

} // namespace
} // namespace quintarvel::files
