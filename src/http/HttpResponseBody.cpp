#include "http/HttpResponseBody.h"

#include "http/SerializationError.h"

#include <cmath>

namespace quintarvel {

namespace {

using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;
using LengthAndWriter = std::pair<std::int64_t, HttpBodyWriter>;

SharedBytes utf8Bytes(const std::string &text) {
    return std::make_shared<const std::vector<std::uint8_t>>(text.begin(), text.end());
}

LengthAndWriter viaWriteBytes(SharedBytes bytes) {
    const auto length = static_cast<std::int64_t>(bytes->size());
    return {length,
            [bytes = std::move(bytes)](HttpResponseBodyWriter &sink) { sink.writeBytes(*bytes); }};
}

LengthAndWriter viaWriteDataContents(SharedBytes bytes) {
    const auto length = static_cast<std::int64_t>(bytes->size());
    return {length, [bytes = std::move(bytes)](HttpResponseBodyWriter &sink) {
                sink.writeDataContents(*bytes);
            }};
}

LengthAndWriter serialisationError(const std::string &description) {
    return viaWriteBytes(utf8Bytes("Serialisation error: " + description));
}

bool holdsOnlyJsonValues(const nlohmann::json &value) {
    switch (value.type()) {
    case nlohmann::json::value_t::object:
    case nlohmann::json::value_t::array:
        for (const auto &element : value) {
            if (!holdsOnlyJsonValues(element)) {
                return false;
            }
        }
        return true;
    case nlohmann::json::value_t::number_float:
        return std::isfinite(value.get<double>());
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::string:
    case nlohmann::json::value_t::boolean:
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
        return true;
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::discarded:
        return false;
    }
    return false;
}

struct Producer {
    LengthAndWriter operator()(const HttpResponseBody::Json &body) const {
        if (!HttpResponseBody::isValidJsonObject(body.object)) {
            return serialisationError(
                SerializationError(SerializationError::Case::invalidObject).what());
        }
        try {
            return viaWriteDataContents(utf8Bytes(body.object.dump()));
        } catch (const std::exception &error) {
            // The serialiser refuses strings that are not valid UTF-8.
            return serialisationError(error.what());
        }
    }
    LengthAndWriter operator()(const HttpResponseBody::Html &body) const {
        return viaWriteBytes(utf8Bytes(body.text));
    }
    LengthAndWriter operator()(const HttpResponseBody::HtmlBody &body) const {
        return viaWriteBytes(
            utf8Bytes("<html><meta charset=\"UTF-8\"><body>" + body.text + "</body></html>"));
    }
    LengthAndWriter operator()(const HttpResponseBody::Text &body) const {
        return viaWriteBytes(utf8Bytes(body.text));
    }
    LengthAndWriter operator()(const HttpResponseBody::Data &body) const {
        return viaWriteDataContents(body.bytes);
    }
    LengthAndWriter operator()(const HttpResponseBody::Custom &body) const {
        try {
            return viaWriteBytes(utf8Bytes(body.convert(body.object)));
        } catch (const std::exception &error) {
            return serialisationError(error.what());
        } catch (...) {
            return serialisationError("unknown error");
        }
    }
};

} // namespace

HttpResponseBody HttpResponseBody::json(nlohmann::json object) {
    return HttpResponseBody(Json{std::move(object)});
}

HttpResponseBody HttpResponseBody::html(std::string text) {
    return HttpResponseBody(Html{std::move(text)});
}

HttpResponseBody HttpResponseBody::htmlBody(std::string text) {
    return HttpResponseBody(HtmlBody{std::move(text)});
}

HttpResponseBody HttpResponseBody::text(std::string text) {
    return HttpResponseBody(Text{std::move(text)});
}

HttpResponseBody HttpResponseBody::data(std::vector<std::uint8_t> bytes,
                                        std::optional<std::string> contentType) {
    return data(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)),
                std::move(contentType));
}

HttpResponseBody HttpResponseBody::data(std::shared_ptr<const std::vector<std::uint8_t>> bytes,
                                        std::optional<std::string> contentType) {
    if (!bytes) {
        bytes = std::make_shared<const std::vector<std::uint8_t>>();
    }
    return HttpResponseBody(Data{std::move(bytes), std::move(contentType)});
}

HttpResponseBody HttpResponseBody::custom(std::any object,
                                          std::function<std::string(const std::any &)> convert) {
    return HttpResponseBody(Custom{std::move(object), std::move(convert)});
}

std::pair<std::int64_t, HttpBodyWriter> HttpResponseBody::lengthAndWriter() const {
    return std::visit(Producer{}, value_);
}

bool HttpResponseBody::isValidJsonObject(const nlohmann::json &object) {
    return (object.is_object() || object.is_array()) && holdsOnlyJsonValues(object);
}

} // namespace quintarvel
