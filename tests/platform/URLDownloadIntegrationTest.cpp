#include "platform/URLDownload.h"

#include "support/DownloadServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <numeric>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quintarvel {
namespace {

using test::DownloadServer;
using test::readFile;
using test::TempDir;
using test::writeFile;

constexpr auto patience = std::chrono::seconds(60);

// Records the callbacks from the transfer's task; the test reads them once the last has come.
class Recorder : public URLDownloadDelegate {
  public:
    void downloadDidBegin(URLDownload &) override { add("begin"); }
    void downloadDidReceiveResponse(URLDownload &, const URLResponse &r) override {
        std::lock_guard lock(mutex_);
        response = r;
        events_.push_back("response");
    }
    void downloadDidReceiveDataOfLength(URLDownload &, std::uint64_t length) override {
        std::lock_guard lock(mutex_);
        if (events_.back() != "data")
            events_.push_back("data");
        received += length;
        changed_.notify_all();
    }
    void downloadDidFinish(URLDownload &) override { add("finish"); }
    void downloadDidFailWithError(URLDownload &, const URLDownloadError &e) override {
        std::lock_guard lock(mutex_);
        error = e.localizedDescription;
        events_.push_back("fail");
        changed_.notify_all();
    }

    // The events (runs of data blocks as one "data") once finish or fail has come.
    std::vector<std::string> waitForEnd() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, patience, [this] {
            return !events_.empty() && (events_.back() == "finish" || events_.back() == "fail");
        });
        return events_;
    }
    bool waitForBytes(std::uint64_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return received >= count; });
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

    URLResponse response;
    std::uint64_t received = 0;
    std::string error;

  private:
    void add(const char *event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

std::vector<std::string> namesIn(const std::filesystem::path &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string pattern(std::size_t length) {
    std::string s(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

class URLDownloadTest : public ::testing::Test {
  protected:
    // Loopback requests must never take a detour through a proxy from the environment.
    void SetUp() override { setenv("no_proxy", "*", 1); }

    // Starts a download of `path` into the folder under `name`, and waits for its end.
    std::shared_ptr<URLDownload> fetch(const std::string &path, const std::string &name,
                                       bool allowOverwrite = true) {
        auto download = URLDownload::start({server.base() + path.substr(1)}, recorder);
        EXPECT_TRUE(download);
        if (!download)
            return nullptr;
        download->setDestination(dir / name, allowOverwrite);
        recorder->waitForEnd();
        download->waitUntilDone();
        return download;
    }

    DownloadServer server;
    TempDir dir;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

using Events = std::vector<std::string>;

TEST_F(URLDownloadTest, SavesTheBodyUnderTheDestinationWithCallbacksInOrder) {
    std::string body = pattern(300000);
    server.serve("/4100/index-4119.fits", body);
    fetch("/4100/index-4119.fits", "index-4119.fits");

    EXPECT_EQ(recorder->events(), (Events{"begin", "response", "data", "finish"}));
    EXPECT_EQ(recorder->response.expectedContentLength, 300000);
    EXPECT_EQ(recorder->response.statusCode, 200);
    EXPECT_EQ(recorder->received, body.size());
    EXPECT_EQ(readFile(dir / "index-4119.fits"), body);
    EXPECT_EQ(namesIn(dir.path()), (Events{"index-4119.fits"}));
}

TEST_F(URLDownloadTest, BodyWithoutLengthEmptyBodyAndRedirect) {
    server.serveWithoutLength("/nolength", "twelve bytes");
    fetch("/nolength", "a.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "response", "data", "finish"}));
    EXPECT_EQ(recorder->response.expectedContentLength, -1);
    EXPECT_EQ(readFile(dir / "a.fits"), "twelve bytes");

    recorder = std::make_shared<Recorder>();
    server.serve("/empty", "");
    fetch("/empty", "b.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "response", "finish"}));
    EXPECT_EQ(recorder->response.expectedContentLength, 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "b.fits"));
    EXPECT_EQ(std::filesystem::file_size(dir / "b.fits"), 0u);

    recorder = std::make_shared<Recorder>();
    server.redirect("/old", server.base() + "new");
    server.serve("/new", "moved here");
    fetch("/old", "c.fits");
    EXPECT_EQ(recorder->events().back(), "finish");
    EXPECT_EQ(recorder->response.url, server.base() + "new");
    EXPECT_EQ(readFile(dir / "c.fits"), "moved here");
}

TEST_F(URLDownloadTest, ReplacesAnExistingFileOnlyWhenAllowed) {
    writeFile(dir / "x.fits", "old");
    server.serve("/x", "new");
    fetch("/x", "x.fits", false);
    EXPECT_EQ(recorder->events().back(), "fail");
    EXPECT_NE(recorder->error.find("File exists"), std::string::npos) << recorder->error;
    EXPECT_EQ(readFile(dir / "x.fits"), "old");
    EXPECT_EQ(namesIn(dir.path()), (Events{"x.fits"}));

    recorder = std::make_shared<Recorder>();
    fetch("/x", "x.fits", true);
    EXPECT_EQ(recorder->events().back(), "finish");
    EXPECT_EQ(readFile(dir / "x.fits"), "new");
}

TEST_F(URLDownloadTest, ErrorAnswerIsAFailureAndLeavesTheOldFileAlone) {
    writeFile(dir / "index-4207-00.fits", "previous");
    fetch("/missing", "index-4207-00.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "fail"}));
    EXPECT_NE(recorder->error.find("404"), std::string::npos) << recorder->error;
    EXPECT_EQ(readFile(dir / "index-4207-00.fits"), "previous");
    EXPECT_EQ(namesIn(dir.path()), (Events{"index-4207-00.fits"}));
}

TEST_F(URLDownloadTest, RefusedConnectionFails) {
    // A port that was just free: bound, never listened on, closed.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";

    auto download = URLDownload::start({url}, recorder);
    ASSERT_TRUE(download);
    download->setDestination(dir / "x.fits", true);
    EXPECT_EQ(recorder->waitForEnd(), (Events{"begin", "fail"}));
    ::close(fd);
    EXPECT_NE(recorder->error.find(url), std::string::npos) << recorder->error;
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST_F(URLDownloadTest, CutOffBodyLeavesNothingBehind) {
    server.serveTruncated("/cut", pattern(5000), 100000);
    fetch("/cut", "index-4110.fits");
    EXPECT_EQ(recorder->events().back(), "fail");
    EXPECT_EQ(recorder->received, 5000u);
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST_F(URLDownloadTest, FolderThatCannotTakeTheFileFails) {
    server.serve("/x", "data");
    fetch("/x", "no-such-folder/x.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "fail"}));
    EXPECT_NE(recorder->error.find("No such file or directory"), std::string::npos);

    // A write that fails half way (as on a full disk): the file size limit stands in for it.
    recorder = std::make_shared<Recorder>();
    server.serve("/big", pattern(400000));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 65536;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    fetch("/big", "big.fits");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(recorder->events().back(), "fail");
    EXPECT_NE(recorder->error.find("Cannot write " + (dir / "big.fits").string()),
              std::string::npos)
        << recorder->error;
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST_F(URLDownloadTest, CancelStopsCallbacksAndRemovesThePartialFile) {
    auto sent = server.serveStalled("/slow", pattern(1000), 100000);
    auto download = URLDownload::start({server.base() + "slow"}, recorder);
    ASSERT_TRUE(download);
    download->setDestination(dir / "slow.fits", true);
    ASSERT_TRUE(recorder->waitForBytes(1000));
    EXPECT_FALSE(download->isCancelled());

    download->cancel();
    auto seen = recorder->events();
    EXPECT_TRUE(download->isCancelled());
    download->waitUntilDone();
    EXPECT_EQ(recorder->events(), seen);
    EXPECT_EQ(seen, (Events{"begin", "response", "data"}));
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST_F(URLDownloadTest, KeptPartialDataNeverTakesTheFinalName) {
    server.serveTruncated("/cut", "partial", 1000);
    auto download = URLDownload::start({server.base() + "cut"}, recorder);
    ASSERT_TRUE(download);
    download->setDeletesFileUponFailure(false);
    download->setDestination(dir / "index-4111.fits", true);
    EXPECT_EQ(recorder->waitForEnd().back(), "fail");
    download->waitUntilDone();

    auto names = namesIn(dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind(".index-4111.fits.", 0), 0u) << names[0];
    EXPECT_EQ(readFile(dir / names[0]), "partial");
}

TEST_F(URLDownloadTest, OnlyWebAddressesMakeADownload) {
    for (const char *url : {"", "not an address", "ftp://127.0.0.1/x", "file:///etc/hostname"})
        EXPECT_FALSE(URLDownload::start({url}, recorder)) << url;
    EXPECT_TRUE(recorder->events().empty());
}

TEST_F(URLDownloadTest, DelegateThatWentAwayIsNotCalled) {
    server.serve("/x", "data");
    auto download = URLDownload::start({server.base() + "x"}, recorder);
    ASSERT_TRUE(download);
    std::weak_ptr<Recorder> gone = recorder;
    recorder.reset();
    download->setDestination(dir / "x.fits", true);
    download->waitUntilDone();
    EXPECT_TRUE(gone.expired());
    EXPECT_EQ(readFile(dir / "x.fits"), "data");
}

} // namespace
} // namespace quintarvel
