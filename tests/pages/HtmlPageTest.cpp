#include "pages/HtmlPage.h"

#include "pages/HtmlBuffers.h"
#include "pages/HtmlElements.h"
#include "support/RecordingBodyWriter.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quintarvel::html {
namespace {

using test::RecordingBodyWriter;
using test::writtenBody;

std::shared_ptr<HttpRequest> request(const std::string &path) {
    auto r = std::make_shared<HttpRequest>();
    r->method = "GET";
    r->path = path;
    return r;
}

TEST(HtmlPage, EveryRequestGetsTheSameFreshPageInOneWrite) {
    EXPECT_EQ(writtenBody(htmlPage([] {})(request("/"))).writes,
              std::vector<std::string>{"<!DOCTYPE html>"});
    const HttpHandler handler = htmlPage([] { html::html([] { body([] { p({}); }); }); });
    const std::string page = "<!DOCTYPE html><html><body><p></p></body></html>";
    htmlBuffers().entry() = "left over from an element outside any page";
    EXPECT_EQ(writtenBody(handler(request("/"))).all(), page);
    // Run again on the same thread: a new page, not one appended to the last.
    EXPECT_EQ(writtenBody(handler(request("/other/path"))).all(), page);
}

TEST(HtmlPage, WriterRepeatsWhatTheThreadHoldsAndIgnoresAFailingSink) {
    htmlBuffers().reset();
    div({});
    RecordingBodyWriter sink;
    htmlPageWriter(sink);
    htmlPageWriter(sink);
    EXPECT_EQ(sink.all(), "<!DOCTYPE html><div></div><!DOCTYPE html><div></div>");
    RecordingBodyWriter refusing;
    refusing.failing = true;
    EXPECT_NO_THROW(htmlPageWriter(refusing));

    const HttpHandler failing =
        htmlPage([] { html::html([] { throw std::runtime_error("page failed"); }); });
    EXPECT_THROW(failing(request("/")), std::runtime_error);
    EXPECT_EQ(htmlBuffers().text(), "");
}

} // namespace
} // namespace quintarvel::html
