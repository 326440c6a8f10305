#include "pages/FileHandlers.h"

#include "platform/Utf8.h"

#include "pages/Files.h"
#include "pages/HtmlBuffers.h"
#include "pages/HtmlElements.h"
#include "pages/HtmlPage.h"
#include "pages/MimeTypes.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <numeric>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace quintarvel::files {
namespace {

// Owns one stream for the body writer and its copies; closes it exactly once.
class OwnedStream {
  public:
    explicit OwnedStream(std::shared_ptr<File> file) : file_(std::move(file)) {}
    ~OwnedStream() { close(); }
    OwnedStream(const OwnedStream &) = delete;
    OwnedStream &operator=(const OwnedStream &) = delete;

    void send(HttpResponseBodyWriter &sink) {
        if (!file_)
            return;
        try {
            sink.sendFile(*file_);
        } catch (...) {
            // The head is on the wire; the raw answer ends the connection anyway.
        }
        close();
    }

  private:
    void close() {
        if (file_) {
            file_->close();
            file_.reset();
        }
    }
    std::shared_ptr<File> file_;
};

struct OpenedFile {
    std::shared_ptr<File> file;
    std::uint64_t size = 0;
};

// Opens a regular file (links followed) for reading, or gives nothing. Opening without blocking
// and checking the open descriptor refuses FIFOs and devices before anything waits on them,
// with no gap between check and use; close-on-exec keeps the descriptor out of engine children.
std::optional<OpenedFile> openRegularFile(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd == -1)
        return std::nullopt;
    struct stat record {};
    if (::fstat(fd, &record) != 0 || !S_ISREG(record.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    if (const int flags = ::fcntl(fd, F_GETFL); flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE *stream = ::fdopen(fd, "rb");
    if (stream == nullptr) {
        ::close(fd);
        return std::nullopt;
    }
    try {
        return OpenedFile{std::make_shared<File>(stream),
                          static_cast<std::uint64_t>(record.st_size)};
    } catch (...) {
        std::fclose(stream);
        throw;
    }
}

HttpResponse fileAnswer(std::shared_ptr<File> file, HttpResponse::HeaderMap headers = {}) {
    return HttpResponse::raw(200, "OK", std::move(headers), fileBodyWriter(std::move(file)));
}

// The value of the first route parameter in key order, if any.
std::optional<std::string> requestedValue(const HttpRequest &request) {
    if (request.params.empty())
        return std::nullopt;
    return request.params.begin()->second;
}

// Whether a requested name stays inside the folder it is appended to: no ".." component and no
// NUL (which would cut the path short when handed to the system).
bool staysInside(std::string_view value) {
    if (value.find('\0') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = value.find('/', start);
        if (value.substr(start, end - start) == "..")
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

std::string joined(const std::string &folder, const std::string &name) {
    return folder + pathDelimiter + name;
}

// The listing's sort key: full Unicode lower-casing, then NFC, so byte order of the keys is
// scalar order of the normalised lower-cased names. Names are valid UTF-8 (directoryEntries
// leaves the others out).
std::string listingKey(const std::string &name) {
    return lowercasedNormalized(name);
}

// Ascending by key, equal keys in the order the folder gave them.
void sortForListing(std::vector<std::string> &names) {
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(names.size());
    for (std::string &name : names)
        keyed.emplace_back(listingKey(name), std::move(name));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &x, const auto &y) { return x.first < y.first; });
    for (std::size_t i = 0; i < names.size(); ++i)
        names[i] = std::move(keyed[i].second);
}

// Every byte outside the unreserved set of RFC 3986 as %XX, so a name holding "?", "#", "%" or
// blanks comes back through the router's decoding unchanged.
std::string percentEncoded(std::string_view name) {
    constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

// Builds the listing into the calling thread's buffer, where htmlPageWriter finds it.
void renderListing(const std::string &requestPath, const std::vector<std::string> &names) {
    std::string base = requestPath;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    // An encoded slash keeps each link one segment long, the shape of the route that got here.
    base += "%2F";
    htmlBuffers().reset();
    html::html([&] {
        html::body([&] {
            html::table(names, [&](const std::string &name) {
                html::tr([&] {
                    html::td([&] {
                        html::a([&] {
                            html::attr::href = base + percentEncoded(name);
                            html::innerHtml = html::escapeHtml(name);
                        });
                    });
                });
            });
        });
    });
}

} // namespace

HttpBodyWriter fileBodyWriter(std::shared_ptr<File> file) {
    auto owned = std::make_shared<OwnedStream>(std::move(file));
    return [owned](HttpResponseBodyWriter &sink) { owned->send(sink); };
}

HttpHandler serveFile(std::string path) {
    return [path = std::move(path)](std::shared_ptr<HttpRequest>) {
        auto opened = openRegularFile(path);
        if (!opened)
            return HttpResponse::notFound();
        return fileAnswer(std::move(opened->file));
    };
}

HttpHandler serveDirectoryFiles(std::string directoryPath, std::vector<std::string> defaultFiles) {
    return [folder = std::move(directoryPath),
            defaults = std::move(defaultFiles)](std::shared_ptr<HttpRequest> request) {
        const std::optional<std::string> value = requestedValue(*request);
        if (!value || !staysInside(*value))
            return HttpResponse::notFound();
        if (value->empty()) {
            for (const std::string &name : defaults) {
                if (auto opened = openRegularFile(joined(folder, name)))
                    return fileAnswer(std::move(opened->file));
            }
        }
        auto opened = openRegularFile(joined(folder, *value));
        if (!opened)
            return HttpResponse::notFound();
        // The size of the open file, links followed: the length of exactly what is sent.
        return fileAnswer(std::move(opened->file),
                          {{"Content-Type", mimeTypeByExtension(*value)},
                           {"Content-Length", std::to_string(opened->size)}});
    };
}

HttpHandler browseDirectory(std::string directoryPath) {
    return [folder = std::move(directoryPath)](std::shared_ptr<HttpRequest> request) {
        const std::optional<std::string> value = requestedValue(*request);
        if (!value || !staysInside(*value))
            return HttpResponse::notFound();
        const std::string path = joined(folder, *value);

        std::optional<struct stat> record;
        try {
            record = statRecord(path);
        } catch (const FileError &) {
            return HttpResponse::internalServerError();
        }
        if (!record)
            return HttpResponse::notFound();

        if (S_ISDIR(record->st_mode)) {
            std::vector<std::string> names;
            try {
                names = directoryEntries(path);
            } catch (const FileError &) {
                return HttpResponse::internalServerError();
            }
            // Its link would only be refused: ".." never leads anywhere from here.
            std::erase(names, "..");
            sortForListing(names);
            renderListing(request->path, names);
            return HttpResponse::raw(200, "OK", html::pageHeaders(), html::htmlPageWriter);
        }

        auto opened = openRegularFile(path);
        if (!opened)
            return HttpResponse::notFound();
        return fileAnswer(std::move(opened->file));
    };
}

} // namespace quintarvel::files
