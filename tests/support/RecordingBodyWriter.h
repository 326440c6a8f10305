#pragma once

#include "http/HttpResponse.h"
#include "http/HttpResponseBodyWriter.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace quintarvel::test {

// A body sink that keeps what it is given, one entry per call, or throws on every call when
// told to. sendFile reads the file from its first byte without moving the stream, as the
// socket's sendfile does.
class RecordingBodyWriter : public HttpResponseBodyWriter {
  public:
    bool failing = false;
    std::vector<std::string> writes;

    void sendFile(File &file) override {
        check();
        std::fflush(file.pointer);
        std::string bytes;
        char buffer[65536];
        off_t offset = 0;
        ssize_t n;
        while ((n = ::pread(::fileno(file.pointer), buffer, sizeof buffer, offset)) > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
            offset += n;
        }
        if (n < 0)
            throw std::runtime_error("pread failed");
        writes.push_back(bytes);
    }
    void writeBytes(const std::vector<std::uint8_t> &bytes) override { keep(bytes); }
    void writeByteSlice(std::span<const std::uint8_t> bytes) override { keep(bytes); }
    void writeNSData(const void *bytes, std::size_t length) override {
        keep(std::span(static_cast<const std::uint8_t *>(bytes), length));
    }
    void writeDataContents(const std::vector<std::uint8_t> &data) override { keep(data); }

    // Everything written, joined.
    std::string all() const {
        std::string joined;
        for (const std::string &w : writes)
            joined += w;
        return joined;
    }

  private:
    void check() const {
        if (failing)
            throw std::runtime_error("sink refuses");
    }
    void keep(std::span<const std::uint8_t> bytes) {
        check();
        writes.emplace_back(bytes.begin(), bytes.end());
    }
};

// Runs the response's body writer (if any) into a fresh recording sink.
inline RecordingBodyWriter writtenBody(const HttpResponse &response) {
    RecordingBodyWriter sink;
    if (auto [length, writer] = response.lengthAndWriter(); writer)
        writer(sink);
    return sink;
}

// The process's open descriptors whose target lies under `folder` (read from /proc/self/fd).
inline std::vector<std::string> descriptorsUnder(const std::filesystem::path &folder) {
    std::vector<std::string> found;
    const std::string prefix = std::filesystem::canonical(folder).string() + "/";
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string().starts_with(prefix))
            found.push_back(target.string());
    }
    return found;
}

} // namespace quintarvel::test
