#include "pages/HtmlPage.h"

#include "pages/HtmlBuffers.h"
#include "pages/HtmlElements.h"
#include "support/RecordingBodyWriter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace quintarvel::html {
namespace {

using test::RecordingBodyWriter;
using test::writtenBody;

std::shared_ptr<HttpRequest> request(const std::string &method, const std::string &path) {
    auto r = std::make_shared<HttpRequest>();
    r->method = method;
    r->path = path;
    return r;
}

TEST(HtmlPage, EmptyPageIsTheDoctypeAloneInOneRawAnswer) {
    const HttpResponse response = htmlPage([] {})(request("GET", "/"));
    EXPECT_EQ(response.kind(), HttpResponse::Case::raw);
    EXPECT_EQ(response.statusCode(), 200);
    EXPECT_EQ(response.reasonPhrase(), "OK");
    EXPECT_EQ(response.headers(), HttpResponse::HeaderMap({{"Content-Type", "text/html"}}));
    EXPECT_EQ(response.lengthAndWriter().first, -1);
    const RecordingBodyWriter sink = writtenBody(response);
    ASSERT_EQ(sink.writes.size(), 1u);
    EXPECT_EQ(sink.writes[0], "<!DOCTYPE html>");
}

TEST(HtmlPage, EveryRequestGetsTheSameFreshPage) {
    const HttpHandler handler = htmlPage([] { html::html([] { body([] { p({}); }); }); });
    const std::string page = "<!DOCTYPE html><html><body><p></p></body></html>";
    htmlBuffers().entry() = "left over from an element outside any page";
    EXPECT_EQ(writtenBody(handler(request("GET", "/"))).all(), page);
    // Run again on the same thread: a new page, not one appended to the last.
    auto post = request("POST", "/other/path");
    post->params[":x"] = "y";
    post->body = {1, 2, 3};
    EXPECT_EQ(writtenBody(handler(post)).all(), page);
}

TEST(HtmlPage, WriterSendsWhatTheThreadHoldsAndLeavesIt) {
    std::thread([] {
        RecordingBodyWriter sink;
        htmlPageWriter(sink);
        EXPECT_EQ(sink.all(), "<!DOCTYPE html>");
        EXPECT_EQ(htmlBuffers().text(), "");
    }).join();

    htmlBuffers().reset();
    div({});
    RecordingBodyWriter sink;
    htmlPageWriter(sink);
    htmlPageWriter(sink);
    EXPECT_EQ(sink.all(), "<!DOCTYPE html><div></div><!DOCTYPE html><div></div>");
}

TEST(HtmlPage, FailingSinkIsIgnoredAndAFailingPagePassesItsErrorOn) {
    RecordingBodyWriter refusing;
    refusing.failing = true;
    EXPECT_NO_THROW(htmlPageWriter(refusing));

    const HttpHandler failing =
        htmlPage([] { html::html([] { throw std::runtime_error("page failed"); }); });
    EXPECT_THROW(failing(request("GET", "/")), std::runtime_error);
    EXPECT_EQ(htmlBuffers().text(), "");
}

} // namespace
} // namespace quintarvel::html
