#include "pages/HtmlElement.h"

#include "pages/HtmlBuffers.h"

#include <utility>

namespace quintarvel::html {

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string renderAttributes(const AttributeMap &attributes) {
    std::string out;
    for (const auto &[name, value] : attributes) {
        if (!value)
            continue;
        out += ' ';
        out += name;
        out += "=\"";
        // A value is text: unescaped, a quote in a file name would end the attribute and let
        // the rest of the name be read as markup.
        out += escapeHtml(*value);
        out += '"';
    }
    return out;
}

void renderElement(std::string_view tag, const AttributeMap &attributes,
                   const HtmlContent &content) {
    std::string &entry = htmlBuffers().entry();
    detail::SetVariables saved = detail::takeVariables();
    std::string prefix = std::move(entry);
    const std::size_t before = prefix.size();
    prefix += '<';
    prefix += tag;
    entry.clear();

    try {
        if (content)
            content();
    } catch (...) {
        detail::takeVariables();
        detail::putVariables(std::move(saved));
        prefix.resize(before);
        entry = std::move(prefix);
        throw;
    }

    detail::SetVariables assigned = detail::takeVariables();
    detail::putVariables(std::move(saved));

    AttributeMap collected;
    std::optional<std::string> replacement;
    for (detail::SetVariable &set : assigned) {
        if (set.position == detail::innerHtmlPosition)
            replacement = std::move(set.value);
        else
            collected.insert_or_assign(std::string(attributeNames[set.position]),
                                       std::move(set.value));
    }
    for (const auto &[name, value] : attributes)
        collected.insert_or_assign(name, value);

    prefix += renderAttributes(collected);
    prefix += '>';
    prefix += replacement ? *replacement : entry;
    prefix += "</";
    prefix += tag;
    prefix += '>';
    entry = std::move(prefix);
}

void appendHtml(std::string_view markup) {
    htmlBuffers().entry().append(markup);
}

void appendText(std::string_view text) {
    htmlBuffers().entry().append(escapeHtml(text));
}

} // namespace quintarvel::html
