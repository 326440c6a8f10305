#pragma once

#include "http/HttpHandler.h"
#include "http/HttpResponse.h"
#include "http/HttpResponseBodyWriter.h"

#include <functional>

// Serving pages built with the HTML builder. The page text lives in the serving thread's entry
// of htmlBuffers between the handler and the writing of its response; the server runs both on
// one thread, one after the other, which is what lets the writer find it.
namespace quintarvel::html {

using HtmlPageContent = std::function<void()>;

// "Content-Type" = "text/html": the header map of every page answer.
const HttpResponse::HeaderMap &pageHeaders();

// A handler that, for any request, empties the calling thread's buffer, runs `page` once to
// fill it, and answers 200 "OK" raw with pageHeaders() and htmlPageWriter. The answer has no
// length, so the connection closes after it. An exception from `page` passes out (the server
// answers 500); the buffer is left as the failing element put it back.
HttpHandler htmlPage(HtmlPageContent page);

// Sends "<!DOCTYPE html>" followed by the calling thread's buffer text in one writeBytes. A
// failing sink is ignored: the status has gone out already. The buffer is left as it is.
void htmlPageWriter(HttpResponseBodyWriter &sink);

} // namespace quintarvel::html
