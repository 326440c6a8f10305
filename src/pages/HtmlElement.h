#pragma once

#include "pages/HtmlAttributes.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The HTML builder's evaluator. A page is nested calls, one per element, each running a content
// procedure that writes the element's children into the calling thread's entry of htmlBuffers
// and assigns attribute variables (pages/HtmlAttributes.h) for the element itself:
//
//     renderElement("a", {}, [&] {
//         attr::href = "/files/" + name;   // an attribute of this "a"
//         innerHtml = escapeHtml(name);    // its whole content
//     });
//     // appends <a href="/files/m31.fits">m31.fits</a>
namespace quintarvel::html {

// Attribute name -> value; an entry without value keeps the attribute off the element.
using AttributeMap = std::map<std::string, std::optional<std::string>, std::less<>>;
using HtmlContent = std::function<void()>;

// Appends one element to the calling thread's entry of htmlBuffers:
//  1. saves every attribute variable and innerHtml and clears them, so the content procedure
//     starts with none set and its assignments apply to this element only (children save and
//     restore around their own content, so the place of an assignment among them is free);
//  2. runs `content` once (an empty function writes nothing) into an empty entry;
//  3. collects the variables it left set, in attributeNames order, then lays `attributes` over
//     them: an argument beats a variable of the same name, and one without value suppresses it;
//  4. writes "<tag", the attributes, ">", then innerHtml when set (discarding what the content
//     wrote) or else the content's text, then "</tag>" after what the entry held before;
//  5. restores every variable and innerHtml to its value from before the call.
// Never self-closing: "br" with nothing gives "<br></br>". Tags, attribute names and innerHtml
// are written as given; attribute values are escaped. If `content` throws, the entry and the
// variables are put back as they were and the exception passes on.
void renderElement(std::string_view tag, const AttributeMap &attributes,
                   const HtmlContent &content);

// The attribute text of a start tag: ` name="value"` for each entry with a value, in the map's
// (name) order, values escaped with escapeHtml.
std::string renderAttributes(const AttributeMap &attributes);

// The text with &, <, >, " and ' replaced by character references, safe as element content
// and as a quoted attribute value.
std::string escapeHtml(std::string_view text);

// Append to the calling thread's entry: markup as it is, or text escaped.
void appendHtml(std::string_view markup);
void appendText(std::string_view text);

} // namespace quintarvel::html
