#pragma once

#include <cstdint>
#include <string>

namespace quintarvel {

class URLDownload;

// What a download received from the server: its final address and the length the server
// announced, -1 when it gave none.
struct URLResponse {
    std::string url;
    long statusCode = 0;
    std::int64_t expectedContentLength = -1;
};

// Why a download failed, in words fit for a log line.
struct URLDownloadError {
    std::string localizedDescription;
};

// The callbacks of a download (see URLDownload for when each comes and on which thread).
class URLDownloadDelegate {
  public:
    virtual ~URLDownloadDelegate() = default;
    virtual void downloadDidBegin(URLDownload &download) = 0;
    virtual void downloadDidReceiveResponse(URLDownload &download, const URLResponse &response) = 0;
    virtual void downloadDidReceiveDataOfLength(URLDownload &download, std::uint64_t length) = 0;
    virtual void downloadDidFinish(URLDownload &download) = 0;
    virtual void downloadDidFailWithError(URLDownload &download, const URLDownloadError &error) = 0;
};

} // namespace quintarvel
