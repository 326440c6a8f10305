#include "app/IndexManagerDelegate.h"

#include "platform/Dispatch.h"
#include "platform/SystemLog.h"
#include "platform/Workspace.h"

#include <system_error>
#include <utility>

namespace quintarvel {
namespace {

// The queue indicator's maximum after a run that queued nothing: one step per index name.
constexpr double indexNameCount = 33;

} // namespace

IndexManagerDelegate::IndexManagerDelegate(std::filesystem::path folder, std::string directory4100,
                                           std::string directory4200, DownloadStarter startDownload)
    : folder_(std::move(folder)), directory4100_(std::move(directory4100)),
      directory4200_(std::move(directory4200)), startDownload_(std::move(startDownload)) {}

IndexManagerDelegate::~IndexManagerDelegate() {
    if (download_)
        download_->cancel();
}

bool IndexManagerDelegate::isPresent(const std::string &name) const {
    std::error_code error;
    return std::filesystem::exists(folder_ / name, error);
}

std::string IndexManagerDelegate::addressOf(const std::string &name) const {
    if (name.starts_with("index-41"))
        return directory4100_ + name;
    if (name.starts_with("index-42"))
        return directory4200_ + name;
    return {};
}

void IndexManagerDelegate::show(const void *) {
    refreshAndShow();
}

void IndexManagerDelegate::skip2(CheckBox &sender) {
    if (sender.state() == CheckBox::mixed)
        sender.setState(CheckBox::on);
}

void IndexManagerDelegate::readme(const void *) {
    workspace::openURL(readmeURL);
}

std::size_t IndexManagerDelegate::checkIndexesAtLaunch() {
    std::size_t present = 0;
    for (const auto &[title, names] : indexFileTable())
        for (const auto &name : names)
            present += isPresent(name) ? 1 : 0;
    if (present == 0)
        refreshAndShow();
    return present;
}

void IndexManagerDelegate::refreshAndShow() {
    const auto &table = indexFileTable();
    for (const auto &series : {series4100_, series4200_}) {
        for (const auto &box : series->subviews()) {
            auto entry = table.find(box->title());
            if (entry == table.end())
                continue;
            std::size_t present = 0;
            for (const auto &name : entry->second)
                present += isPresent(name) ? 1 : 0;
            box->setState(present == 0                      ? CheckBox::off
                          : present == entry->second.size() ? CheckBox::on
                                                            : CheckBox::mixed);
        }
    }
    window_->makeKeyAndOrderFront();
}

void IndexManagerDelegate::enqueueFromCheckbox(TitledCheckBox &box) {
    const auto &table = indexFileTable();
    auto entry = table.find(box.title());
    if (entry == table.end())
        return;
    for (const auto &name : entry->second) {
        bool present = isPresent(name);
        int state = box.state();
        if (present && state == CheckBox::off) {
            // Whether the move worked is not reported: the status says what was asked.
            workspace::recycle({folder_ / name});
            statusText_->setStringValue("Removed " + name);
        } else if (!present && state == CheckBox::on) {
            queue_.push_back(name);
        }
    }
}

void IndexManagerDelegate::go(const void *) {
    queue_.clear();
    for (const auto &series : {series4100_, series4200_})
        for (const auto &box : series->subviews())
            enqueueFromCheckbox(*box);
    if (queue_.empty()) {
        queueIndicator_->setMaxValue(indexNameCount);
        queueIndicator_->setDoubleValue(0);
        return;
    }
    goButton_->setEnabled(false);
    abortButton_->setEnabled(true);
    queueIndicator_->setMaxValue(static_cast<double>(queue_.size()));
    queueIndicator_->setDoubleValue(0);
    running_ = true;
    startNextDownload();
}

void IndexManagerDelegate::setIdle(const std::string &status) {
    running_ = false;
    statusText_->setStringValue(status);
    goButton_->setEnabled(true);
    abortButton_->setEnabled(false);
    fileIndicator_->setRunning(false);
}

void IndexManagerDelegate::startNextDownload() {
    // A download is replaced only once it has ended; cancelling makes sure of it.
    if (download_)
        download_->cancel();
    if (queue_.empty()) {
        download_.reset();
        setIdle("Done");
        return;
    }
    std::string name = std::move(queue_.front());
    queue_.pop_front();
    queueIndicator_->setDoubleValue(queueIndicator_->doubleValue() + 1);
    statusText_->setStringValue("Downloading " + name);

    URLRequest request;
    request.url = addressOf(name);
    request.cachePolicy = 0;
    request.timeoutInterval = std::chrono::seconds(60);
    download_ = startDownload_(request, weak_from_this());
    if (!download_) {
        setIdle("Failed to download " + name);
        return;
    }
    download_->setDeletesFileUponFailure(true);
    download_->setDestination(folder_ / name, true);
}

void IndexManagerDelegate::abort(const void *) {
    queue_.clear();
    if (download_)
        download_->cancel();
    setIdle("Aborted");
    queueIndicator_->setDoubleValue(0);
}

void IndexManagerDelegate::postForDownload(URLDownload &download, std::function<void()> change) {
    mainQueue().async([self = shared_from_this(), sender = download.weak_from_this(),
                       change = std::move(change)] {
        // A download that finished just before an abort is not cancelled, but its run is over.
        auto current = sender.lock();
        if (!self->running_ || !current || current != self->download_ || current->isCancelled())
            return;
        change();
    });
}

void IndexManagerDelegate::downloadDidBegin(URLDownload &download) {
    currentLength_ = 0;
    postForDownload(download, [this] {
        fileIndicator_->setDoubleValue(0);
        fileIndicator_->setRunning(true);
    });
}

void IndexManagerDelegate::downloadDidReceiveResponse(URLDownload &download,
                                                      const URLResponse &response) {
    std::int64_t length = response.expectedContentLength;
    postForDownload(download, [this, length] {
        statusText_->setStringValue(statusText_->stringValue() + " (" + std::to_string(length) +
                                    " bytes)");
        fileIndicator_->setMaxValue(static_cast<double>(length));
    });
}

void IndexManagerDelegate::downloadDidReceiveDataOfLength(URLDownload &download,
                                                          std::uint64_t length) {
    currentLength_ += static_cast<std::int64_t>(length);
    postForDownload(download, [this] {
        fileIndicator_->setDoubleValue(static_cast<double>(currentLength_.load()));
    });
}

void IndexManagerDelegate::downloadDidFinish(URLDownload &download) {
    postForDownload(download, [this] { startNextDownload(); });
}

void IndexManagerDelegate::downloadDidFailWithError(URLDownload &download,
                                                    const URLDownloadError &error) {
    systemLog("file failed " + error.localizedDescription);
    postForDownload(download, [this] { setIdle(statusText_->stringValue() + " - failed"); });
}

} // namespace quintarvel
