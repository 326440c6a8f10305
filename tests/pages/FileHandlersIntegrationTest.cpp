#include "pages/FileHandlers.h"

#include "http/HttpServer.h"
#include "pages/HtmlElements.h"
#include "pages/HtmlPage.h"
#include "support/ListingRows.h"
#include "support/LoopbackHttpClient.h"
#include "support/RecordingBodyWriter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <sys/stat.h>

namespace quintarvel {
namespace {

namespace fs = std::filesystem;
using test::descriptorsUnder;
using test::getRequest;
using test::LoopbackHttpClient;
using test::writeFile;

// A folder "site" served three ways on an ephemeral loopback port, with a secret beside it.
class FileServing : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(site / "sub");
        writeFile(root / "secret.txt", "secret");
        writeFile(site / "m31.png", "not really a PNG");
        writeFile(site / "sub" / "inner.txt", "inner");
        writeFile(site / "sub" / "M 31 #2?.txt", "odd name");
        ASSERT_EQ(::mkfifo((site / "pipe").c_str(), 0600), 0);

        big.resize(5 * 1024 * 1024 + 17);
        for (std::size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>((i * 2654435761u) >> 24);
        writeFile(site / "big.bin", big);

        server->GET["/big"] = files::serveFile((site / "big.bin").string());
        server->GET["/files/:name"] = files::serveDirectoryFiles(site.string());
        server->GET["/browse/:path"] = files::browseDirectory(site.string());
        server->listenAddressIPv4 = "127.0.0.1";
        server->start(0, true, DispatchPriority::background);
        port = server->listeningPort();
    }
    void TearDown() override {
        server->stop();
        EXPECT_TRUE(descriptorsUnder(root.path()).empty());
    }

    // One request on a fresh connection; the answer has no length, so the server closes.
    LoopbackHttpClient::Response get(const std::string &path) {
        LoopbackHttpClient client(port);
        EXPECT_TRUE(client.send(getRequest(path, "Connection: keep-alive\r\n")));
        auto response = client.readResponse();
        EXPECT_TRUE(response && client.closedByServer()) << path;
        return response.value_or(LoopbackHttpClient::Response{});
    }

    test::TempDir root;
    const fs::path site = root / "site";
    std::string big;
    std::shared_ptr<HttpServer> server = std::make_shared<HttpServer>();
    std::uint16_t port = 0;
};

// The links of a listing: text -> href.
std::map<std::string, std::string> links(const std::string &page) {
    std::map<std::string, std::string> found;
    for (const auto &[href, text] : test::listingRows(page))
        found[text] = href;
    return found;
}

TEST_F(FileServing, FilesGoOutWholeAndNeverFromOutsideTheFolder) {
    const auto response = get("/big");
    EXPECT_EQ(response.status, 200);
    EXPECT_FALSE(response.header("Content-Length"));
    EXPECT_TRUE(response.body == big) << response.body.size() << " bytes of " << big.size();
    // The file was closed before the connection was.
    EXPECT_TRUE(descriptorsUnder(root.path()).empty());

    const auto png = get("/files/m31.png");
    EXPECT_EQ(png.header("Content-Type"), "image/png");
    EXPECT_EQ(png.header("Content-Length"), "16");
    EXPECT_EQ(png.body, "not really a PNG");
    EXPECT_EQ(get("/files/sub%2Finner.txt").body, "inner");

    for (const char *path :
         {"/files/..", "/files/%2e%2e", "/files/%2E%2E%2Fsecret.txt", "/files/..%2Fsecret.txt",
          "/files/sub%2F..%2F..%2Fsecret.txt", "/files/../secret.txt", "/files/missing",
          "/files/sub", "/files/pipe", "/browse/%2E%2E", "/browse/sub%2F..%2F..%2Fsecret.txt"}) {
        const auto refused = get(path);
        EXPECT_EQ(refused.status, 404) << path;
        EXPECT_EQ(refused.body.find("secret"), std::string::npos) << path;
    }
}

TEST_F(FileServing, ListingLinksLeadDownToTheFiles) {
    const auto top = get("/browse/.");
    EXPECT_EQ(top.header("Content-Type"), "text/html");
    const auto entries = links(top.body);
    EXPECT_FALSE(entries.contains(".."));
    ASSERT_TRUE(entries.contains("sub")) << top.body;

    const auto subEntries = links(get(entries.at("sub")).body);
    ASSERT_TRUE(subEntries.contains("M 31 #2?.txt"));
    EXPECT_EQ(get(subEntries.at("M 31 #2?.txt")).body, "odd name");
    EXPECT_EQ(get(subEntries.at("inner.txt")).body, "inner");
}

TEST_F(FileServing, ListingsBuiltAtOnceOnSeveralClientsStayApart) {
    constexpr int folders = 6;
    for (int f = 0; f < folders; ++f) {
        fs::create_directory(site / ("f" + std::to_string(f)));
        for (int n = 0; n < 20; ++n)
            writeFile(site / ("f" + std::to_string(f)) /
                          ("star-" + std::to_string(f) + "-" + std::to_string(n)),
                      "");
    }
    std::vector<std::future<bool>> clients;
    for (int f = 0; f < folders; ++f)
        clients.push_back(std::async(std::launch::async, [this, f] {
            const std::string mine = "star-" + std::to_string(f) + "-";
            for (int round = 0; round < 10; ++round) {
                LoopbackHttpClient client(port);
                if (!client.send(getRequest("/browse/f" + std::to_string(f))))
                    return false;
                const auto page = client.readResponse();
                if (!page || page->status != 200)
                    return false;
                const auto entries = links(page->body);
                if (entries.size() != 21)
                    return false;
                for (const auto &[text, href] : entries)
                    if (text != "." &&
                        (!text.starts_with(mine) || href.find(text) == std::string::npos))
                        return false;
            }
            return true;
        }));
    for (auto &client : clients)
        EXPECT_TRUE(client.get());
}

TEST_F(FileServing, PageIsBuiltAndWrittenOnTheClientsThread) {
    (*server)["/page"] = html::htmlPage(
        [] { html::html([] { html::body([] { html::p([] { html::attr::id = "x"; }); }); }); });
    const auto got = get("/page");
    EXPECT_EQ(got.header("Content-Type"), "text/html");
    EXPECT_EQ(got.body, "<!DOCTYPE html><html><body><p id=\"x\"></p></body></html>");
}

} // namespace
} // namespace quintarvel
