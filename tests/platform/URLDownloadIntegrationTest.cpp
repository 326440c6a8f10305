#include "platform/URLDownload.h"

#include "support/DownloadServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <mutex>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quintarvel {
namespace {

using test::readFile;
using test::writeFile;
using Events = std::vector<std::string>;

// Records the callbacks from the transfer's task (a run of data blocks as one "data").
class Recorder : public URLDownloadDelegate {
  public:
    void downloadDidBegin(URLDownload &) override { add("begin"); }
    void downloadDidReceiveResponse(URLDownload &, const URLResponse &r) override {
        add("response", [&] { response = r; });
    }
    void downloadDidReceiveDataOfLength(URLDownload &, std::uint64_t length) override {
        add("data", [&] { received += length; });
    }
    void downloadDidFinish(URLDownload &) override { add("finish"); }
    void downloadDidFailWithError(URLDownload &, const URLDownloadError &e) override {
        add("fail", [&] { error = e.localizedDescription; });
    }

    Events waitForEnd() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(60), [this] {
            return !events_.empty() && (events_.back() == "finish" || events_.back() == "fail");
        });
        return events_;
    }
    bool waitForBytes(std::uint64_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return received >= count; });
    }
    Events events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

    URLResponse response;
    std::uint64_t received = 0;
    std::string error;

  private:
    void add(
        const std::string &event, const std::function<void()> &record = [] {}) {
        std::lock_guard lock(mutex_);
        record();
        if (events_.empty() || events_.back() != event || event != "data")
            events_.push_back(event);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    Events events_;
};

Events namesIn(const std::filesystem::path &folder) {
    Events names;
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

    // Starts a download of `url` into the folder under `name` with a fresh recorder.
    std::shared_ptr<URLDownload> begin(const std::string &url, const std::string &name,
                                       bool allowOverwrite = true) {
        recorder = std::make_shared<Recorder>();
        auto download = URLDownload::start({url}, recorder);
        EXPECT_TRUE(download);
        if (download)
            download->setDestination(dir / name, allowOverwrite);
        return download;
    }
    // The same for a path on the server, waiting for the end; gives the last event.
    std::string fetch(const std::string &path, const std::string &name,
                      bool allowOverwrite = true) {
        auto download = begin(server.base() + path.substr(1), name, allowOverwrite);
        if (!download)
            return "";
        recorder->waitForEnd();
        download->waitUntilDone();
        return recorder->events().back();
    }

    test::DownloadServer server;
    test::TempDir dir;
    std::shared_ptr<Recorder> recorder;
};

TEST_F(URLDownloadTest, SavesTheBodyWithCallbacksInOrderAlsoEmptyOrRedirected) {
    std::string body = pattern(300000);
    server.serve("/4100/index-4119.fits", body);
    fetch("/4100/index-4119.fits", "index-4119.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "response", "data", "finish"}));
    EXPECT_EQ(recorder->response.expectedContentLength, 300000);
    EXPECT_EQ(recorder->response.statusCode, 200);
    EXPECT_EQ(recorder->received, body.size());
    EXPECT_EQ(readFile(dir / "index-4119.fits"), body);

    server.serve("/empty", "");
    fetch("/empty", "b.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "response", "finish"}));
    EXPECT_TRUE(std::filesystem::exists(dir / "b.fits"));
    EXPECT_EQ(std::filesystem::file_size(dir / "b.fits"), 0u);

    server.redirect("/old", server.base() + "new");
    server.serve("/new", "moved here");
    EXPECT_EQ(fetch("/old", "c.fits"), "finish");
    EXPECT_EQ(recorder->response.url, server.base() + "new");
    EXPECT_EQ(readFile(dir / "c.fits"), "moved here");
    EXPECT_EQ(namesIn(dir.path()), (Events{"b.fits", "c.fits", "index-4119.fits"}));
}

TEST_F(URLDownloadTest, FailuresNeverClobberAnOldFileNorLeaveAPartialOne) {
    writeFile(dir / "x.fits", "old");
    server.serve("/x", "new");
    EXPECT_EQ(fetch("/x", "x.fits", false), "fail");
    EXPECT_NE(recorder->error.find("File exists"), std::string::npos) << recorder->error;
    EXPECT_EQ(readFile(dir / "x.fits"), "old");

    fetch("/missing", "x.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "fail"}));
    EXPECT_NE(recorder->error.find("404"), std::string::npos) << recorder->error;
    EXPECT_EQ(readFile(dir / "x.fits"), "old");

    server.serveTruncated("/cut", pattern(5000), 100000);
    EXPECT_EQ(fetch("/cut", "index-4110.fits"), "fail");
    EXPECT_EQ(recorder->received, 5000u);
    EXPECT_EQ(namesIn(dir.path()), (Events{"x.fits"}));

    EXPECT_EQ(fetch("/x", "x.fits", true), "finish");
    EXPECT_EQ(readFile(dir / "x.fits"), "new");
}

TEST_F(URLDownloadTest, RefusedConnectionFails) {
    // A port that was just free: bound, never listened on.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";
    auto download = begin(url, "x.fits"); // held: a dropped download is cancelled
    ASSERT_TRUE(download);
    EXPECT_EQ(recorder->waitForEnd(), (Events{"begin", "fail"}));
    ::close(fd);
    EXPECT_NE(recorder->error.find(url), std::string::npos) << recorder->error;
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST_F(URLDownloadTest, FileThatCannotBeWrittenFails) {
    server.serve("/x", "data");
    fetch("/x", "no-such-folder/x.fits");
    EXPECT_EQ(recorder->events(), (Events{"begin", "fail"}));
    EXPECT_NE(recorder->error.find("No such file or directory"), std::string::npos);

    // A write that fails half way (as on a full disk): the file size limit stands in for it.
    server.serve("/big", pattern(400000));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 65536;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto last = fetch("/big", "big.fits");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(last, "fail");
    EXPECT_NE(recorder->error.find("Cannot write " + (dir / "big.fits").string()),
              std::string::npos)
        << recorder->error;
    EXPECT_TRUE(namesIn(dir.path()).empty());
}

TEST_F(URLDownloadTest, CancelStopsCallbacksAndRemovesThePartialFile) {
    auto sent = server.serveStalled("/slow", pattern(1000), 100000);
    auto download = begin(server.base() + "slow", "slow.fits");
    ASSERT_TRUE(download);
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

TEST_F(URLDownloadTest, OnlyWebAddressesStartAndAGoneDelegateIsNotCalled) {
    recorder = std::make_shared<Recorder>();
    for (const char *url : {"", "not an address", "ftp://127.0.0.1/x", "file:///etc/hostname"})
        EXPECT_FALSE(URLDownload::start({url}, recorder)) << url;
    EXPECT_TRUE(recorder->events().empty());

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
