#include "app/IndexManagerDelegate.h"

#include "platform/Dispatch.h"
#include "support/IndexWindowFakes.h"
#include "support/TempDir.h"
#include "support/TestTrash.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using test::FakeCheckBoxContainer;
using test::FakeLevelIndicator;
using test::FakeTextField;
using test::FakeTitledCheckBox;
using test::TestTrash;
using test::writeFile;
using Names = std::vector<std::string>;

// A download the test drives by hand.
class FakeDownload : public URLDownload {
  public:
    explicit FakeDownload(URLRequest request) : URLDownload(std::move(request)) {}
    void setDeletesFileUponFailure(bool d) override { deletes = d; }
    void setDestination(const std::filesystem::path &path, bool overwrite) override {
        destination = path;
        allowOverwrite = overwrite;
    }
    // As a real transfer: once it has ended, a cancel changes nothing.
    void cancel() override { cancelled = cancelled || !ended; }
    bool isCancelled() const override { return cancelled; }
    void waitUntilDone() override {}

    bool deletes = false, allowOverwrite = false, cancelled = false, ended = false;
    std::filesystem::path destination;
};

class IndexManagerTest : public ::testing::Test, protected test::IndexWindowFakes {
  protected:
    void SetUp() override {
        trash.empty();
        for (int n = 4119; n >= 4107; --n)
            series4100->add("index-" + std::to_string(n) + ".fits");
        series4100->add("not an index"); // left alone by everything
        for (int n = 4219; n >= 4208; --n)
            series4200->add("index-" + std::to_string(n) + ".fits");
        for (int n = 4207; n >= 4200; --n)
            series4200->add("index-" + std::to_string(n) + "-*.fits");

        connect(*manager);
    }
    void TearDown() override {
        mainQueue().drain();
        trash.empty();
    }

    std::shared_ptr<FakeTitledCheckBox> box(const std::string &title) {
        for (const auto &series : {series4100, series4200})
            for (const auto &b : series->boxes)
                if (b->title() == title)
                    return b;
        ADD_FAILURE() << title;
        return nullptr;
    }
    void tick(std::initializer_list<const char *> titles) {
        for (const char *title : titles)
            box(title)->setState(CheckBox::on);
    }
    // The run is over: go can be pressed again, abort cannot.
    void expectIdle() const {
        EXPECT_TRUE(goButton->isEnabled());
        EXPECT_FALSE(abortButton->isEnabled());
    }
    void present(const std::string &name) { writeFile(dir / name, "stars"); }
    // The current download's callbacks as its task would send them, then the main queue.
    void deliver(const std::string &length, std::initializer_list<std::uint64_t> blocks) {
        auto &d = *started.back();
        manager->downloadDidBegin(d);
        URLResponse response;
        response.expectedContentLength = std::stoll(length);
        manager->downloadDidReceiveResponse(d, response);
        for (auto b : blocks)
            manager->downloadDidReceiveDataOfLength(d, b);
        mainQueue().drain();
    }
    void finish() {
        started.back()->ended = true;
        manager->downloadDidFinish(*started.back());
        mainQueue().drain();
    }
    std::vector<std::string> urls() const {
        std::vector<std::string> result;
        for (const auto &d : started)
            result.push_back(d->request().url);
        return result;
    }

    TestTrash &trash = TestTrash::instance();
    test::TempDir dir;
    std::vector<std::shared_ptr<FakeDownload>> started;
    bool refuse = false;
    std::shared_ptr<IndexManagerDelegate> manager = std::make_shared<IndexManagerDelegate>(
        dir.path(), "http://server/4100/", "http://server/4200/",
        [this](const URLRequest &request,
               std::weak_ptr<URLDownloadDelegate> delegate) -> std::shared_ptr<URLDownload> {
            EXPECT_EQ(delegate.lock(), manager);
            if (refuse)
                return nullptr;
            started.push_back(std::make_shared<FakeDownload>(request));
            return started.back();
        });
};

TEST_F(IndexManagerTest, AtLaunchOpensOnlyWhenNoIndexFileIsThere) {
    box("index-4119.fits")->setState(CheckBox::on);
    EXPECT_EQ(manager->checkIndexesAtLaunch(), 0u);
    EXPECT_EQ(window->fronts, 1);
    for (const auto &series : {series4100, series4200})
        for (const auto &b : series->boxes)
            EXPECT_EQ(b->state(), CheckBox::off) << b->title();

    present("index-4203-17.fits");
    present("index-4119.fits.part"); // not an index file
    box("index-4119.fits")->setState(CheckBox::on);
    EXPECT_EQ(manager->checkIndexesAtLaunch(), 1u);
    EXPECT_EQ(window->fronts, 1);
    EXPECT_EQ(box("index-4119.fits")->state(), CheckBox::on);
}

TEST_F(IndexManagerTest, ShowSetsEveryBoxFromTheFilesPresentAndAClickNeverLeavesOneMixed) {
    for (const char *part : {"00", "03", "05", "10", "11"})
        present("index-4207-" + std::string(part) + ".fits");
    for (int i = 0; i < 48; ++i)
        present("index-4200-" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".fits");
    present("index-4119.fits");
    box("index-4118.fits")->setState(CheckBox::on);

    manager->show();
    EXPECT_EQ(box("index-4207-*.fits")->state(), CheckBox::mixed);
    EXPECT_EQ(box("index-4200-*.fits")->state(), CheckBox::on);
    EXPECT_EQ(box("index-4119.fits")->state(), CheckBox::on);
    EXPECT_EQ(box("index-4118.fits")->state(), CheckBox::off);
    EXPECT_EQ(box("not an index")->changes, 0);
    EXPECT_EQ(window->fronts, 1);

    for (int state : {CheckBox::mixed, CheckBox::on, CheckBox::off}) {
        FakeTitledCheckBox b("index-4207-*.fits", state);
        manager->skip2(b);
        EXPECT_EQ(b.state(), state == CheckBox::off ? CheckBox::off : CheckBox::on);
    }
}

TEST_F(IndexManagerTest, UntickedPresentFilesGoToTheTrashAndMixedBoxesStayAsTheyAre) {
    present("index-4119.fits");
    present("index-4207-03.fits");
    manager->show();
    box("index-4119.fits")->setState(CheckBox::off);
    ASSERT_EQ(box("index-4207-*.fits")->state(), CheckBox::mixed);

    manager->go();
    EXPECT_FALSE(std::filesystem::exists(dir / "index-4119.fits"));
    EXPECT_EQ(trash.names(), (Names{"index-4119.fits"}));
    EXPECT_EQ(trash.originalPath("index-4119.fits"), (dir / "index-4119.fits").string());
    EXPECT_EQ(statusText->texts, (Names{"Removed index-4119.fits"}));
    EXPECT_TRUE(std::filesystem::exists(dir / "index-4207-03.fits"));
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(queueIndicator->maxValue(), 33);
    expectIdle();
    EXPECT_EQ(box("index-4119.fits")->state(), CheckBox::off);
}

TEST_F(IndexManagerTest, DownloadsTickedMissingFilesOneAtATime4100SeriesFirst) {
    tick({"index-4219.fits", "index-4118.fits", "index-4110.fits"});
    manager->go();

    EXPECT_EQ(urls(), (Names{"http://server/4100/index-4118.fits"}));
    EXPECT_EQ(manager->queue(), (std::deque<std::string>{"index-4110.fits", "index-4219.fits"}));
    EXPECT_EQ(started[0]->request().timeoutInterval, std::chrono::seconds(60));
    EXPECT_EQ(started[0]->destination, dir / "index-4118.fits");
    EXPECT_TRUE(started[0]->allowOverwrite);
    EXPECT_TRUE(started[0]->deletes);
    EXPECT_FALSE(goButton->isEnabled());
    EXPECT_TRUE(abortButton->isEnabled());
    EXPECT_EQ(queueIndicator->maxValue(), 3);
    EXPECT_EQ(statusText->stringValue(), "Downloading index-4118.fits");

    deliver("1000", {400, 600});
    EXPECT_EQ(statusText->stringValue(), "Downloading index-4118.fits (1000 bytes)");
    EXPECT_EQ(fileIndicator->maxValue(), 1000);
    EXPECT_EQ(fileIndicator->doubleValue(), 1000);
    EXPECT_EQ(started.size(), 1u);
    finish();
    deliver("-1", {7});
    EXPECT_EQ(statusText->stringValue(), "Downloading index-4110.fits (-1 bytes)");
    EXPECT_EQ(fileIndicator->doubleValue(), 7);
    finish();
    deliver("5", {5});
    finish();

    EXPECT_EQ(urls(),
              (Names{"http://server/4100/index-4118.fits", "http://server/4100/index-4110.fits",
                     "http://server/4200/index-4219.fits"}));
    EXPECT_EQ(queueIndicator->values, (std::vector<double>{0, 1, 2, 3}));
    EXPECT_EQ(statusText->stringValue(), "Done");
    expectIdle();
    EXPECT_FALSE(manager->download());
}

TEST_F(IndexManagerTest, TickedBoxQueuesOnlyItsMissingFilesFromItsSeries) {
    present("index-4206-00.fits");
    present("index-4206-11.fits");
    box("index-4206-*.fits")->setState(CheckBox::on);
    manager->go();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0]->request().url, "http://server/4200/index-4206-01.fits");
    EXPECT_EQ(manager->queue().size(), 9u);
    EXPECT_EQ(manager->queue().back(), "index-4206-10.fits");
    EXPECT_EQ(queueIndicator->maxValue(), 10);
    EXPECT_EQ(manager->addressOf("other.fits"), "");
}

TEST_F(IndexManagerTest, AFailedOrRefusedDownloadEndsTheRunAndTheNextGoStartsAfresh) {
    tick({"index-4119.fits", "index-4118.fits"});
    manager->go();
    deliver("100", {10});
    manager->downloadDidFailWithError(*started[0], {"connection reset"});
    mainQueue().drain();
    EXPECT_EQ(statusText->stringValue(), "Downloading index-4119.fits (100 bytes) - failed");
    expectIdle();
    EXPECT_EQ(started.size(), 1u);
    EXPECT_EQ(manager->queue(), (std::deque<std::string>{"index-4118.fits"}));

    manager->go();
    EXPECT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1]->request().url, "http://server/4100/index-4119.fits");
    EXPECT_EQ(manager->queue(), (std::deque<std::string>{"index-4118.fits"}));
    EXPECT_EQ(queueIndicator->doubleValue(), 1);

    manager->abort();
    refuse = true;
    manager->go();
    EXPECT_EQ(statusText->stringValue(), "Failed to download index-4119.fits");
    expectIdle();
    EXPECT_EQ(manager->queue(), (std::deque<std::string>{"index-4118.fits"}));
}

TEST_F(IndexManagerTest, AbortCancelsAndLateCallbacksChangeNothing) {
    tick({"index-4119.fits", "index-4118.fits"});
    manager->go();
    auto first = started[0];
    manager->downloadDidBegin(*first);
    manager->downloadDidReceiveDataOfLength(*first, 50); // posted, not yet run

    manager->abort();
    EXPECT_TRUE(first->cancelled);
    EXPECT_TRUE(manager->queue().empty());
    EXPECT_EQ(statusText->stringValue(), "Aborted");
    expectIdle();
    EXPECT_EQ(queueIndicator->doubleValue(), 0);

    manager->downloadDidFinish(*first);
    mainQueue().drain();
    EXPECT_EQ(started.size(), 1u);
    EXPECT_EQ(statusText->stringValue(), "Aborted");
    EXPECT_TRUE(fileIndicator->values.empty());

    // A new run: the old download's callbacks still change nothing.
    manager->go();
    ASSERT_EQ(started.size(), 2u);
    manager->downloadDidFailWithError(*first, {"late"});
    manager->downloadDidFinish(*first);
    mainQueue().drain();
    EXPECT_EQ(started.size(), 2u);
    EXPECT_EQ(statusText->stringValue(), "Downloading index-4119.fits");
    EXPECT_FALSE(goButton->isEnabled());
}

TEST_F(IndexManagerTest, AbortBetweenOneFileAndTheNextEndsAborted) {
    tick({"index-4119.fits", "index-4118.fits"});
    manager->go();
    deliver("5", {5});
    // The transfer has ended and its finish is on its way to the main queue when abort comes.
    started[0]->ended = true;
    manager->downloadDidFinish(*started[0]);
    manager->abort();
    mainQueue().drain();
    EXPECT_EQ(statusText->stringValue(), "Aborted");
    EXPECT_EQ(started.size(), 1u);
    EXPECT_TRUE(manager->queue().empty());
    EXPECT_EQ(queueIndicator->doubleValue(), 0);
    expectIdle();
}

} // namespace
} // namespace quintarvel
