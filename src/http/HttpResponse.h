#pragma once

#include "http/HttpResponseBody.h"
#include "http/HttpResponseBodyWriter.h"
#include "http/Socket.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace quintarvel {

// The version text of the "Server" header ("Quintarvel " + serverVersion()): the application's
// short version ("CFBundleShortVersionString" of the bundle information), or "Unspecified"
// when there is none. Computed once, thread-safe.
const std::string &serverVersion();

// A handler's answer: one of fourteen cases, made by the static functions below. A value,
// immutable once made. The server I/O turns it into bytes through statusCode(), reasonPhrase(),
// lengthAndWriter() and headerFields(), called once each in that order.
class HttpResponse {
  public:
    using HeaderMap = std::map<std::string, std::string>;
    // Takes the connection over after the 101 answer; the server then stops serving HTTP on it.
    using Session = std::function<void(std::shared_ptr<Socket>)>;

    enum class Case {
        switchProtocols,
        ok,
        movedPermanently,
        movedTemporarily,
        badRequest,
        raw,
        created,
        accepted,
        unauthorized,
        forbidden,
        notFound,
        notAcceptable,
        tooManyRequests,
        internalServerError,
    };

    static HttpResponse switchProtocols(HeaderMap headers, Session session);
    static HttpResponse ok(HttpResponseBody body);
    static HttpResponse movedPermanently(std::string url);
    // Status 307 with the phrase "Moved Temporarily".
    static HttpResponse movedTemporarily(std::string url);
    static HttpResponse badRequest(std::optional<HttpResponseBody> body = std::nullopt);
    // Code and phrase are sent as given. The answer never has a computed length: a handler that
    // wants "Content-Length" puts it into the header map.
    static HttpResponse raw(std::int64_t statusCode, std::string reasonPhrase,
                            std::optional<HeaderMap> headers = std::nullopt,
                            HttpBodyWriter writer = nullptr);
    static HttpResponse created();
    static HttpResponse accepted();
    static HttpResponse unauthorized();
    static HttpResponse forbidden();
    static HttpResponse notFound();
    static HttpResponse notAcceptable();
    static HttpResponse tooManyRequests();
    static HttpResponse internalServerError();

    Case kind() const { return kind_; }
    // The payloads, present only for the cases that carry them.
    const std::optional<HttpResponseBody> &body() const { return body_; } // ok, badRequest
    const std::optional<HeaderMap> &headers() const { return headers_; }  // switchProtocols, raw
    const std::string &url() const { return text_; }                      // moved*
    const Session &session() const { return session_; }                   // switchProtocols
    const HttpBodyWriter &rawWriter() const { return writer_; }           // raw

    std::int64_t statusCode() const;
    std::string reasonPhrase() const;
    // "Server" = "Quintarvel " + serverVersion(), then by case: the switchProtocols or raw map
    // (an exact "Server" there replaces ours; names are case-sensitive), "Content-Type" for ok
    // with a json, html or typed data body, "Location" for the redirects. A badRequest body
    // never brings a "Content-Type".
    HeaderMap headerFields() const;
    // (length, writer): the body's for ok and badRequest with a body; (-1, the handler's
    // writer) for raw; (-1, none) otherwise. -1 means no length of its own: no
    // "Content-Length", no keep-alive. An empty writer means no body.
    std::pair<std::int64_t, HttpBodyWriter> lengthAndWriter() const;

  private:
    explicit HttpResponse(Case kind) : kind_(kind) {}

    Case kind_;
    std::optional<HttpResponseBody> body_;
    std::optional<HeaderMap> headers_;
    std::string text_; // the redirect target, or the raw reason phrase
    std::int64_t rawStatusCode_ = 0;
    Session session_;
    HttpBodyWriter writer_;
};

} // namespace quintarvel
