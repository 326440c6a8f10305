#include "pages/HtmlElements.h"

namespace quintarvel::html {

void namedElement(std::string_view tag, const HtmlContent &content) {
    renderElement(tag, {}, content);
}

void namedElement(std::string_view tag, const AttributeMap &attributes,
                  const HtmlContent &content) {
    renderElement(tag, attributes, content);
}

void elementWithDefaults(std::string_view tag, FixedAttributes attributes,
                         const HtmlContent &content) {
    AttributeMap map;
    for (const FixedAttribute &attribute : attributes) {
        std::optional<std::string> value;
        if (attribute.value)
            value.emplace(*attribute.value);
        map.insert_or_assign(std::string(attribute.name), std::move(value));
    }
    renderElement(tag, map, content);
}

void javascript(const HtmlContent &content) {
    elementWithDefaults("script", javascriptAttributes, content);
}

void stylesheet(const HtmlContent &content) {
    elementWithDefaults("link", stylesheetAttributes, content);
}

} // namespace quintarvel::html
