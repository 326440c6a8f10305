#include "service/UploadFormPage.h"

#include "http/HttpResponseBody.h"

#include <string>

namespace quintarvel {

HttpResponse uploadFormPage(std::shared_ptr<HttpRequest>) {
    return HttpResponse::ok(HttpResponseBody::html(std::string(uploadFormHtml)));
}

} // namespace quintarvel
