#include "pages/HtmlPage.h"

#include "pages/HtmlBuffers.h"

#include <string>
#include <utility>

namespace quintarvel::html {

const HttpResponse::HeaderMap &pageHeaders() {
    static const HttpResponse::HeaderMap headers{{"Content-Type", "text/html"}};
    return headers;
}

HttpHandler htmlPage(HtmlPageContent page) {
    return [page = std::move(page)](std::shared_ptr<HttpRequest>) {
        htmlBuffers().reset();
        if (page)
            page();
        return HttpResponse::raw(200, "OK", pageHeaders(), htmlPageWriter);
    };
}

void htmlPageWriter(HttpResponseBodyWriter &sink) {
    const std::string text = "<!DOCTYPE html>" + htmlBuffers().text();
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    try {
        sink.writeBytes(bytes);
    } catch (...) {
        // The answer is committed to 200 by now; there is nobody left to tell.
    }
}

} // namespace quintarvel::html
