#include "pages/MimeTypes.h"

#include <gtest/gtest.h>

#include <string>

namespace quintarvel::files {
namespace {

TEST(MimeTypes, TypeComesFromTheLastExtensionOfTheLastComponentInAnyCase) {
    const std::pair<const char *, const char *> cases[] = {
        {"index.htm", "text/html"},
        {"/srv/sky/m31.png", "image/png"},
        {"icon.svgz", "image/svg+xml"},
        {"archive.7z", "application/x-7z-compressed"},
        {"PHOTO.JPG", "image/jpeg"},
        {"Report.Docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"figure.AI", "application/postscript"},
        // A dotted capital I lower-cases to "i" plus a combining dot, which is no listed "ai".
        {"figure.A\u0130", "application/octet-stream"},
        {"notes.png.txt", "text/plain"},
        {"images/m31.png/", "image/png"},
    };
    for (const auto &[path, type] : cases)
        EXPECT_EQ(mimeTypeByExtension(path), type) << path;
    for (const char *path : {"", "README", "trailing.", ".png", "dir/.hidden", "/", "a.unknown",
                             "backup.tar.gz", "images.png/README", "m31. png"})
        EXPECT_EQ(mimeTypeByExtension(path), "application/octet-stream") << '"' << path << '"';
}

} // namespace
} // namespace quintarvel::files
