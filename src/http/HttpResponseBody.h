#pragma once

#include "http/HttpResponseBodyWriter.h"

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quintarvel {

// The body of an ok or badRequest answer. A value; immutable once made.
class HttpResponseBody {
  public:
    // Compact JSON of the tree; sent through writeDataContents.
    struct Json {
        nlohmann::json object;
    };
    // The text as UTF-8; sent through writeBytes, as are HtmlBody, Text and Custom.
    struct Html {
        std::string text;
    };
    // The text inside "<html><meta charset=\"UTF-8\"><body>" ... "</body></html>".
    struct HtmlBody {
        std::string text;
    };
    struct Text {
        std::string text;
    };
    // The buffer's bytes, shared and not copied; sent through writeDataContents.
    struct Data {
        std::shared_ptr<const std::vector<std::uint8_t>> bytes;
        std::optional<std::string> contentType;
    };
    // The conversion's text as UTF-8; the conversion may throw.
    struct Custom {
        std::any object;
        std::function<std::string(const std::any &)> convert;
    };
    using Value = std::variant<Json, Html, HtmlBody, Text, Data, Custom>;

    static HttpResponseBody json(nlohmann::json object);
    static HttpResponseBody html(std::string text);
    static HttpResponseBody htmlBody(std::string text);
    static HttpResponseBody text(std::string text);
    static HttpResponseBody data(std::vector<std::uint8_t> bytes,
                                 std::optional<std::string> contentType = std::nullopt);
    static HttpResponseBody data(std::shared_ptr<const std::vector<std::uint8_t>> bytes,
                                 std::optional<std::string> contentType = std::nullopt);
    static HttpResponseBody custom(std::any object,
                                   std::function<std::string(const std::any &)> convert);
    // A custom body over a typed object.
    template <class T>
    static HttpResponseBody custom(T object, std::function<std::string(const T &)> convert) {
        return custom(std::any(std::move(object)),
                      [convert = std::move(convert)](const std::any &held) {
                          return convert(std::any_cast<const T &>(held));
                      });
    }

    const Value &value() const { return value_; }

    // The body's byte length and a writer that hands those bytes to a sink (always present).
    // Never fails: a JSON tree that is refused or cannot be serialised, and a custom conversion
    // that throws, give the body "Serialisation error: " + the error's description instead.
    // Serialises anew on every call. Calling the writer twice sends the bytes twice.
    std::pair<std::int64_t, HttpBodyWriter> lengthAndWriter() const;

    // The platform's test for a JSON body: a top-level array or object holding only strings,
    // numbers, booleans, null, arrays and objects, and no NaN or infinite number.
    static bool isValidJsonObject(const nlohmann::json &object);

  private:
    explicit HttpResponseBody(Value value) : value_(std::move(value)) {}
    Value value_;
};

} // namespace quintarvel
