#include "http/HttpResponse.h"

#include "platform/Bundle.h"

namespace quintarvel {

const std::string &serverVersion() {
    static const std::string version =
        bundle::infoDictionaryValue("CFBundleShortVersionString").value_or("Unspecified");
    return version;
}

HttpResponse HttpResponse::switchProtocols(HeaderMap headers, Session session) {
    HttpResponse response(Case::switchProtocols);
    response.headers_ = std::move(headers);
    response.session_ = std::move(session);
    return response;
}

HttpResponse HttpResponse::ok(HttpResponseBody body) {
    HttpResponse response(Case::ok);
    response.body_ = std::move(body);
    return response;
}

HttpResponse HttpResponse::movedPermanently(std::string url) {
    HttpResponse response(Case::movedPermanently);
    response.text_ = std::move(url);
    return response;
}

HttpResponse HttpResponse::movedTemporarily(std::string url) {
    HttpResponse response(Case::movedTemporarily);
    response.text_ = std::move(url);
    return response;
}

HttpResponse HttpResponse::badRequest(std::optional<HttpResponseBody> body) {
    HttpResponse response(Case::badRequest);
    response.body_ = std::move(body);
    return response;
}

HttpResponse HttpResponse::raw(std::int64_t statusCode, std::string reasonPhrase,
                               std::optional<HeaderMap> headers, HttpBodyWriter writer) {
    HttpResponse response(Case::raw);
    response.rawStatusCode_ = statusCode;
    response.text_ = std::move(reasonPhrase);
    response.headers_ = std::move(headers);
    response.writer_ = std::move(writer);
    return response;
}

HttpResponse HttpResponse::created() {
    return HttpResponse(Case::created);
}
HttpResponse HttpResponse::accepted() {
    return HttpResponse(Case::accepted);
}
HttpResponse HttpResponse::unauthorized() {
    return HttpResponse(Case::unauthorized);
}
HttpResponse HttpResponse::forbidden() {
    return HttpResponse(Case::forbidden);
}
HttpResponse HttpResponse::notFound() {
    return HttpResponse(Case::notFound);
}
HttpResponse HttpResponse::notAcceptable() {
    return HttpResponse(Case::notAcceptable);
}
HttpResponse HttpResponse::tooManyRequests() {
    return HttpResponse(Case::tooManyRequests);
}
HttpResponse HttpResponse::internalServerError() {
    return HttpResponse(Case::internalServerError);
}

std::int64_t HttpResponse::statusCode() const {
    switch (kind_) {
    case Case::switchProtocols:
        return 101;
    case Case::ok:
        return 200;
    case Case::movedPermanently:
        return 301;
    case Case::movedTemporarily:
        return 307;
    case Case::badRequest:
        return 400;
    case Case::raw:
        return rawStatusCode_;
    case Case::created:
        return 201;
    case Case::accepted:
        return 202;
    case Case::unauthorized:
        return 401;
    case Case::forbidden:
        return 403;
    case Case::notFound:
        return 404;
    case Case::notAcceptable:
        return 406;
    case Case::tooManyRequests:
        return 429;
    case Case::internalServerError:
        return 500;
    }
    return 500;
}

std::string HttpResponse::reasonPhrase() const {
    switch (kind_) {
    case Case::switchProtocols:
        return "Switching Protocols";
    case Case::ok:
        return "OK";
    case Case::movedPermanently:
        return "Moved Permanently";
    case Case::movedTemporarily:
        return "Moved Temporarily";
    case Case::badRequest:
        return "Bad Request";
    case Case::raw:
        return text_;
    case Case::created:
        return "Created";
    case Case::accepted:
        return "Accepted";
    case Case::unauthorized:
        return "Unauthorized";
    case Case::forbidden:
        return "Forbidden";
    case Case::notFound:
        return "Not Found";
    case Case::notAcceptable:
        return "Not Acceptable";
    case Case::tooManyRequests:
        return "Too Many Requests";
    case Case::internalServerError:
        return "Internal Server Error";
    }
    return {};
}

HttpResponse::HeaderMap HttpResponse::headerFields() const {
    HeaderMap fields{{"Server", "Quintarvel " + serverVersion()}};
    switch (kind_) {
    case Case::switchProtocols:
    case Case::raw:
        if (headers_) {
            for (const auto &[name, value] : *headers_) {
                fields[name] = value;
            }
        }
        break;
    case Case::ok: {
        const HttpResponseBody::Value &body = body_->value();
        if (std::holds_alternative<HttpResponseBody::Json>(body)) {
            fields["Content-Type"] = "application/json";
        } else if (std::holds_alternative<HttpResponseBody::Html>(body)) {
            fields["Content-Type"] = "text/html";
        } else if (const auto *data = std::get_if<HttpResponseBody::Data>(&body)) {
            if (data->contentType) {
                fields["Content-Type"] = *data->contentType;
            }
        }
        break;
    }
    case Case::movedPermanently:
    case Case::movedTemporarily:
        fields["Location"] = text_;
        break;
    default:
        break;
    }
    return fields;
}

std::pair<std::int64_t, HttpBodyWriter> HttpResponse::lengthAndWriter() const {
    switch (kind_) {
    case Case::ok:
    case Case::badRequest:
        if (body_) {
            return body_->lengthAndWriter();
        }
        return {-1, nullptr};
    case Case::raw:
        return {-1, writer_};
    default:
        return {-1, nullptr};
    }
}

} // namespace quintarvel
