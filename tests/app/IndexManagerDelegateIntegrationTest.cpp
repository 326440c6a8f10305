#include "app/IndexManagerDelegate.h"

#include "platform/Dispatch.h"
#include "support/DownloadServer.h"
#include "support/IndexWindowFakes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quintarvel {
namespace {

using test::DownloadServer;
using test::readFile;
using Names = std::vector<std::string>;

template <class T> bool contains(const std::vector<T> &values, const T &value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

std::vector<std::string> namesIn(const std::filesystem::path &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The index manager downloading from a loopback server into a test folder.
class IndexDownloads : public ::testing::Test, protected test::IndexWindowFakes {
  protected:
    void SetUp() override {
        setenv("no_proxy", "*", 1);
        for (const char *title : {"index-4119.fits", "index-4118.fits"})
            boxes.push_back(series4100->add(title));
        for (const char *title : {"index-4219.fits", "index-4218.fits"})
            boxes.push_back(series4200->add(title));
        manager = std::make_shared<IndexManagerDelegate>(dir.path(), server.base("/data/4100/"),
                                                         server.base("/data/4200/"));
        connect(*manager);
    }
    void TearDown() override {
        if (manager->download())
            manager->download()->waitUntilDone();
        mainQueue().drain();
    }
    void tick(std::initializer_list<const char *> titles) {
        for (const char *title : titles)
            for (const auto &b : boxes)
                if (b->title() == title)
                    b->setState(CheckBox::on);
    }
    // Runs the main queue until the run is over (the go button is back), within the patience.
    bool runToEnd() {
        return runUntil([this] { return goButton->isEnabled(); });
    }
    template <class P> bool runUntil(P done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            mainQueue().drainFor(std::chrono::milliseconds(100));
        return done();
    }

    DownloadServer server;
    test::TempDir dir;
    std::vector<std::shared_ptr<test::FakeTitledCheckBox>> boxes;
    std::shared_ptr<IndexManagerDelegate> manager;
};

TEST_F(IndexDownloads, FetchesEachTickedFileFromItsSeriesDirectoryInTurn) {
    std::string big(250000, 'x');
    server.serve("/data/4100/index-4119.fits", big);
    server.serveWithoutLength("/data/4100/index-4118.fits", "no length");
    server.serve("/data/4200/index-4218.fits", "last");
    tick({"index-4218.fits", "index-4119.fits", "index-4118.fits"});

    manager->go();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(statusText->stringValue(), "Done");
    EXPECT_EQ(server.requests(), (Names{"/data/4100/index-4119.fits", "/data/4100/index-4118.fits",
                                        "/data/4200/index-4218.fits"}));
    EXPECT_EQ(readFile(dir / "index-4119.fits"), big);
    EXPECT_EQ(readFile(dir / "index-4118.fits"), "no length");
    EXPECT_EQ(readFile(dir / "index-4218.fits"), "last");
    EXPECT_EQ(namesIn(dir.path()),
              (Names{"index-4118.fits", "index-4119.fits", "index-4218.fits"}));
    EXPECT_TRUE(
        contains(statusText->texts, std::string("Downloading index-4119.fits (250000 bytes)")));
    EXPECT_TRUE(contains(statusText->texts, std::string("Downloading index-4118.fits (-1 bytes)")));
    EXPECT_TRUE(contains(fileIndicator->values, 250000.0));
    EXPECT_EQ(queueIndicator->doubleValue(), 3);
    EXPECT_FALSE(abortButton->isEnabled());
    EXPECT_EQ(manager->checkIndexesAtLaunch(), 3u);
}

TEST_F(IndexDownloads, MissingFileOnTheServerEndsTheRunAndKeepsWhatCameBefore) {
    server.serve("/data/4100/index-4119.fits", "first");
    tick({"index-4119.fits", "index-4118.fits", "index-4219.fits"});
    manager->go();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(statusText->stringValue(), "Downloading index-4118.fits - failed");
    EXPECT_FALSE(abortButton->isEnabled());
    EXPECT_EQ(namesIn(dir.path()), (Names{"index-4119.fits"}));
    EXPECT_EQ(manager->queue(), (std::deque<std::string>{"index-4219.fits"}));
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(IndexDownloads, AbortStopsTheTransferAndRemovesItsPartialFile) {
    auto sent = server.serveStalled("/data/4100/index-4119.fits", std::string(1000, 's'), 50000);
    tick({"index-4119.fits", "index-4118.fits"});
    manager->go();
    ASSERT_TRUE(runUntil([this] { return fileIndicator->doubleValue() >= 1000; }));
    EXPECT_EQ(fileIndicator->maxValue(), 50000);

    manager->abort();
    manager->download()->waitUntilDone();
    mainQueue().drain();
    EXPECT_EQ(statusText->stringValue(), "Aborted");
    EXPECT_TRUE(goButton->isEnabled());
    EXPECT_FALSE(abortButton->isEnabled());
    EXPECT_TRUE(namesIn(dir.path()).empty());
    EXPECT_EQ(server.requests().size(), 1u);
}

} // namespace
} // namespace quintarvel
