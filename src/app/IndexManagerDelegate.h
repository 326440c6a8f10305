#pragma once

#include "app/AppGlobals.h"
#include "platform/FormViews.h"
#include "platform/URLDownload.h"
#include "platform/Views.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quintarvel {

// The index manager: the window that shows which index files of `indexFileTable` are in the
// index folder, moves the files of unticked boxes to the Trash and downloads the missing files
// of ticked boxes, one at a time, from the index download server.
//
// Actions and operations run on the main thread. The download callbacks come on the
// download's task; they change `currentLength` there and post every window change to the main
// queue. Posted blocks of a download that is no longer the current one, that was cancelled or
// whose run has ended, change nothing, so an abort or a new run is never undone by a late
// callback.
// Create it with std::make_shared: downloads hold it weakly, posted blocks strongly.
class IndexManagerDelegate : public URLDownloadDelegate,
                             public std::enable_shared_from_this<IndexManagerDelegate> {
  public:
    // The index download server: one directory per series; file names are appended as they
    // stand.
    static constexpr const char *defaultDirectory4100 = "http://data.astrometry.net/4100/";
    static constexpr const char *defaultDirectory4200 = "http://data.astrometry.net/4200/";
    // The engine's documentation page, opened by readme.
    static constexpr const char *readmeURL = "https://astrometry.net/doc/readme.html";

    // Starts a download; none when it cannot be made. URLDownload::start in the application.
    using DownloadStarter = std::function<std::shared_ptr<URLDownload>(
        const URLRequest &, std::weak_ptr<URLDownloadDelegate>)>;

    explicit IndexManagerDelegate(std::filesystem::path folder = sharedSupportURL(),
                                  std::string directory4100 = defaultDirectory4100,
                                  std::string directory4200 = defaultDirectory4200,
                                  DownloadStarter startDownload = URLDownload::start);
    ~IndexManagerDelegate() override;

    const std::filesystem::path &folder() const { return folder_; }

    // Outlets, all required.
    std::shared_ptr<Window> window() const { return window_; }
    void setWindow(std::shared_ptr<Window> v) { window_ = std::move(v); }
    std::shared_ptr<CheckBoxContainer> series4200() const { return series4200_; }
    void setSeries4200(std::shared_ptr<CheckBoxContainer> v) { series4200_ = std::move(v); }
    std::shared_ptr<CheckBoxContainer> series4100() const { return series4100_; }
    void setSeries4100(std::shared_ptr<CheckBoxContainer> v) { series4100_ = std::move(v); }
    std::shared_ptr<Control> goButton() const { return goButton_; }
    void setGoButton(std::shared_ptr<Control> v) { goButton_ = std::move(v); }
    std::shared_ptr<Control> abortButton() const { return abortButton_; }
    void setAbortButton(std::shared_ptr<Control> v) { abortButton_ = std::move(v); }
    // Files started so far out of files queued.
    std::shared_ptr<LevelIndicator> queueIndicator() const { return queueIndicator_; }
    void setQueueIndicator(std::shared_ptr<LevelIndicator> v) { queueIndicator_ = std::move(v); }
    // Bytes of the current file out of its announced length (-1: unknown).
    std::shared_ptr<LevelIndicator> fileIndicator() const { return fileIndicator_; }
    void setFileIndicator(std::shared_ptr<LevelIndicator> v) { fileIndicator_ = std::move(v); }
    std::shared_ptr<TextField> statusText() const { return statusText_; }
    void setStatusText(std::shared_ptr<TextField> v) { statusText_ = std::move(v); }

    // State (main thread, except currentLength, which the download's task changes).
    const std::deque<std::string> &queue() const { return queue_; }
    std::int64_t currentLength() const { return currentLength_.load(); }
    const std::shared_ptr<URLDownload> &download() const { return download_; }

    // Actions. The sender is not read, except by skip2.
    void show(const void *sender = nullptr);
    // Every box's action: a click never leaves a box mixed.
    void skip2(CheckBox &sender);
    // Moves the present files of unticked boxes to the Trash, queues the missing files of
    // ticked boxes (4100 series first) and starts the first download.
    void go(const void *sender = nullptr);
    // Empties the queue and cancels the current download.
    void abort(const void *sender = nullptr);
    // Opens readmeURL in the user's browser.
    void readme(const void *sender = nullptr);

    // At launch: counts the index files present and shows the window when there are none.
    // Gives the count.
    std::size_t checkIndexesAtLaunch();
    // Sets every box from the files present (off: none, on: all, mixed: some) and brings the
    // window to the front.
    void refreshAndShow();
    // An unticked box's present files go to the Trash; a ticked box's missing files are queued.
    void enqueueFromCheckbox(TitledCheckBox &box);
    // Starts the download at the front of the queue, or ends the run with "Done".
    void startNextDownload();

    // Download callbacks.
    void downloadDidBegin(URLDownload &download) override;
    void downloadDidReceiveResponse(URLDownload &download, const URLResponse &response) override;
    void downloadDidReceiveDataOfLength(URLDownload &download, std::uint64_t length) override;
    void downloadDidFinish(URLDownload &download) override;
    void downloadDidFailWithError(URLDownload &download, const URLDownloadError &error) override;

    // The address a file name is fetched from: the 4100 or the 4200 directory by its prefix.
    std::string addressOf(const std::string &name) const;
    bool isPresent(const std::string &name) const;

  private:
    // Posts `change` to the main queue, to run only while `download` is the current, live one.
    void postForDownload(URLDownload &download, std::function<void()> change);
    // Ends the run: the status, go on, abort off, the file bar still.
    void setIdle(const std::string &status);

    const std::filesystem::path folder_;
    const std::string directory4100_;
    const std::string directory4200_;
    const DownloadStarter startDownload_;

    std::shared_ptr<Window> window_;
    std::shared_ptr<CheckBoxContainer> series4200_;
    std::shared_ptr<CheckBoxContainer> series4100_;
    std::shared_ptr<Control> goButton_;
    std::shared_ptr<Control> abortButton_;
    std::shared_ptr<LevelIndicator> queueIndicator_;
    std::shared_ptr<LevelIndicator> fileIndicator_;
    std::shared_ptr<TextField> statusText_;

    std::deque<std::string> queue_;
    std::atomic<std::int64_t> currentLength_{0};
    std::shared_ptr<URLDownload> download_;
    bool running_ = false; // from go to Done, a failure or abort; main thread
};

} // namespace quintarvel
