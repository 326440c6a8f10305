#pragma once

#include "http/HttpRequest.h"
#include "http/HttpResponse.h"

#include <memory>
#include <string_view>

namespace quintarvel {

// The page a browser gets at "/": a form that posts one file to "/api/upload".
inline constexpr std::string_view uploadFormHtml =
    "<form action='/api/upload' method='post' enctype='multipart/form-data'>Submit FITS file: "
    "<input type='file' name='image'><input type='submit' value='Submit'></form>";

// Answers the form as HTML, whatever the request.
HttpResponse uploadFormPage(std::shared_ptr<HttpRequest> request);

} // namespace quintarvel
