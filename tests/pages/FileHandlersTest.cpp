#include "pages/FileHandlers.h"

#include "pages/Files.h"
#include "support/ListingRows.h"
#include "support/RecordingBodyWriter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace quintarvel::files {
namespace {

namespace fs = std::filesystem;
using test::descriptorsUnder;
using test::listingRows;
using test::RecordingBodyWriter;
using test::writeFile;
using test::writtenBody;
using Headers = HttpResponse::HeaderMap;

// A served folder "site" with a secret beside it, outside the folder.
class FileHandlers : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(site);
        fs::create_directory(site / "sub");
        writeFile(root / "secret.txt", "secret");
        writeFile(site / "m31.png", std::string("\x89PNG\r\n\x1a\n\0rest", 13));
        writeFile(site / "NOTES.PNG", "upper");
        writeFile(site / "README", "plain");
        writeFile(site / "sub" / "inner.txt", "inner");
        ASSERT_EQ(::mkfifo((site / "pipe").c_str(), 0600), 0);
    }
    void TearDown() override { EXPECT_TRUE(descriptorsUnder(root.path()).empty()); }

    static HttpResponse call(const HttpHandler &handler, std::map<std::string, std::string> params,
                             const std::string &path = "/site/x") {
        auto request = std::make_shared<HttpRequest>();
        request->method = "GET";
        request->path = path;
        request->params = std::move(params);
        return handler(request);
    }
    static HttpResponse value(const HttpHandler &handler, const std::string &name) {
        return call(handler, {{":name", name}});
    }

    test::TempDir root;
    const fs::path site = root / "site";
};

TEST_F(FileHandlers, ServeFileSendsRegularFilesOnlyAndClosesThemWhateverHappens) {
    const HttpResponse found = call(serveFile((site / "m31.png").string()), {});
    EXPECT_EQ(found.kind(), HttpResponse::Case::raw);
    EXPECT_EQ(found.statusCode(), 200);
    EXPECT_EQ(found.headers(), Headers{});
    EXPECT_EQ(writtenBody(found).all(), std::string("\x89PNG\r\n\x1a\n\0rest", 13));
    for (const fs::path &path : {site / "missing", site / "sub", site / "pipe"})
        EXPECT_EQ(call(serveFile(path.string()), {}).statusCode(), 404) << path;

    const std::string path = (site / "README").string();
    auto open = [&] { return std::make_shared<File>(fopenPath(path, "rb")); };
    HttpBodyWriter writer = fileBodyWriter(open());
    ASSERT_EQ(descriptorsUnder(site).size(), 1u);
    RecordingBodyWriter sink;
    writer(sink);
    writer(sink); // the stream is gone: nothing more is sent
    EXPECT_EQ(sink.writes, std::vector<std::string>{"plain"});
    EXPECT_TRUE(descriptorsUnder(site).empty());
    RecordingBodyWriter refusing;
    refusing.failing = true;
    EXPECT_NO_THROW(fileBodyWriter(open())(refusing));
    EXPECT_TRUE(descriptorsUnder(site).empty());
    // An answer whose body is never written, as when the server stops first.
    { const HttpResponse unsent = call(serveFile(path), {}); }
    EXPECT_TRUE(descriptorsUnder(site).empty());
}

TEST_F(FileHandlers, DirectoryFilesCarryTypeAndLengthAndDefaultsTriedInOrder) {
    const HttpHandler handler = serveDirectoryFiles(site.string());
    EXPECT_EQ(value(handler, "README").headers(),
              Headers({{"Content-Type", "application/octet-stream"}, {"Content-Length", "5"}}));
    // A link is followed; the length is that of the bytes sent, the target's.
    fs::create_symlink(root / "secret.txt", site / "link.txt");
    EXPECT_EQ(value(handler, "link.txt").headers()->at("Content-Length"), "6");
    for (const std::string name : {"missing.png", "sub", "pipe", ""})
        EXPECT_EQ(value(handler, name).statusCode(), 404) << name;

    writeFile(site / "index.htm", "second default");
    const HttpResponse found =
        value(serveDirectoryFiles(site.string(), {"index.html", "index.htm"}), "");
    EXPECT_EQ(found.headers(), Headers{});
    EXPECT_EQ(writtenBody(found).all(), "second default");
    EXPECT_EQ(value(serveDirectoryFiles(site.string(), {"index.html"}), "").statusCode(), 404);
}

TEST_F(FileHandlers, FolderHandlersNeedAParameterAndStayInsideTheFolder) {
    for (const HttpHandler &handler :
         {serveDirectoryFiles(site.string(), {"README"}), browseDirectory(site.string())}) {
        EXPECT_EQ(call(handler, {}).statusCode(), 404);
        for (const std::string name :
             {"..", "../secret.txt", "sub/../../secret.txt", "sub/..", "./..", "..\\/secret.txt"})
            EXPECT_EQ(value(handler, name).statusCode(), 404) << name;
        // A NUL would cut the path short at the system call.
        EXPECT_EQ(value(handler, std::string("README\0.png", 11)).statusCode(), 404);
        // The first parameter in key order is the one used.
        EXPECT_EQ(writtenBody(call(handler, {{":a", "README"}, {":b", "missing"}})).all(), "plain");
    }
}

TEST_F(FileHandlers, BrowseAnswersFilesBareAndFailuresByKind) {
    const HttpHandler handler = browseDirectory(site.string());
    const HttpResponse file = value(handler, "m31.png");
    EXPECT_EQ(file.headers(), Headers{});
    EXPECT_EQ(writtenBody(file).all().size(), 13u);
    EXPECT_EQ(value(handler, "missing").statusCode(), 404);
    EXPECT_EQ(value(handler, "pipe").statusCode(), 404);
    // The status query fails with ENOTDIR below a regular file.
    EXPECT_EQ(value(handler, "README/below").statusCode(), 500);
    if (::geteuid() != 0) {
        fs::create_directory(site / "closed");
        fs::permissions(site / "closed", fs::perms::none);
        EXPECT_EQ(value(handler, "closed").statusCode(), 500);
        fs::permissions(site / "closed", fs::perms::owner_all);
    }
}

TEST_F(FileHandlers, ListingIsSortedByNormalisedLowerCasedName) {
    test::TempDir dir;
    const std::string composed = "\xC3\x89"
                                 "crit"; // "Écrit", É as one scalar
    const std::string decomposed = "e\xCC\x81"
                                   "crit"; // "écrit", e and a combining acute
    for (const std::string name : {"beta", "Apple", "apple2", "readme", "README", "Zed"})
        writeFile(dir / name, "");
    writeFile(dir / composed, "");
    writeFile(dir / decomposed, "");
    const HttpResponse listing = call(browseDirectory(dir.path().string()), {{":p", "."}}, "/d/.");
    EXPECT_EQ(listing.headers(), Headers({{"Content-Type", "text/html"}}));
    const std::string page = writtenBody(listing).all();
    EXPECT_TRUE(page.starts_with("<!DOCTYPE html><html><body><table><tr><td><a href=\"/d/.%2F.\">"
                                 ".</a></td></tr>"))
        << page;
    EXPECT_TRUE(page.ends_with("</table></body></html>"));

    // Equal keys keep the order the folder listing gave them; ".." is left out.
    std::vector<std::string> readmes, ecrits;
    for (const std::string &name : directoryEntries(dir.path().string())) {
        if (name == "readme" || name == "README")
            readmes.push_back(name);
        if (name == composed || name == decomposed)
            ecrits.push_back(name);
    }
    std::vector<std::string> expected{".", "Apple", "apple2", "beta"};
    expected.insert(expected.end(), readmes.begin(), readmes.end());
    expected.push_back("Zed");
    expected.insert(expected.end(), ecrits.begin(), ecrits.end());
    std::vector<std::string> texts;
    for (const auto &[href, text] : listingRows(page))
        texts.push_back(text);
    EXPECT_EQ(texts, expected);
}

TEST_F(FileHandlers, ListingEscapesTextAndEncodesLinks) {
    test::TempDir dir;
    writeFile(dir / "a<b c&\"d'%.txt", "");
    fs::create_directory(dir / "M 31");
    const HttpHandler handler = browseDirectory(dir.path().string());
    const std::string page = writtenBody(call(handler, {{":p", "."}}, "/browse/x%20y/")).all();
    EXPECT_EQ(listingRows(page),
              (std::vector<std::pair<std::string, std::string>>{
                  {"/browse/x%20y%2F.", "."},
                  {"/browse/x%20y%2Fa%3Cb%20c%26%22d%27%25.txt", "a&lt;b c&amp;&quot;d&#39;%.txt"},
                  {"/browse/x%20y%2FM%2031", "M 31"},
              }));
    // The request path is text in an attribute too.
    const std::string quoted = writtenBody(call(handler, {{":p", "M 31"}}, "/b/\"x")).all();
    EXPECT_NE(quoted.find("href=\"/b/&quot;x%2F.\""), std::string::npos) << quoted;
}

} // namespace
} // namespace quintarvel::files
