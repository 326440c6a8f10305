#include "pages/HtmlAttributes.h"

#include <utility>

namespace quintarvel::html {

const std::array<std::string_view, 124> attributeNames{
    "id",          "dir",         "rel",          "rev",
    "alt",         "for",         "src",          "type",
    "href",        "text",        "abbr",         "size",
    "face",        "char",        "cite",         "span",
    "data",        "axis",        "Name",         "name",
    "code",        "link",        "lang",         "cols",
    "rows",        "ismap",       "shape",        "style",
    "alink",       "width",       "rules",        "align",
    "frame",       "vlink",       "defer",        "color",
    "media",       "title",       "scope",        "class",
    "manifest",    "value",       "clear",        "start",
    "label",       "action",      "height",       "method",
    "accept",      "object",      "scheme",       "coords",
    "usemap",      "onblur",      "nohref",       "nowrap",
    "hspace",      "border",      "valign",       "vspace",
    "onload",      "target",      "prompt",       "onfocus",
    "enctype",     "onclick",     "ontouchstart", "onkeyup",
    "profile",     "version",     "onreset",      "charset",
    "standby",     "colspan",     "charoff",      "classid",
    "compact",     "declare",     "rowspan",      "checked",
    "archive",     "bgcolor",     "content",      "noshade",
    "summary",     "headers",     "onselect",     "readonly",
    "tabindex",    "onchange",    "noresize",     "disabled",
    "longdesc",    "codebase",    "language",     "datetime",
    "selected",    "hreflang",    "onsubmit",     "multiple",
    "onunload",    "codetype",    "scrolling",    "onkeydown",
    "maxlength",   "valuetype",   "accesskey",    "onmouseup",
    "onkeypress",  "ondblclick",  "onmouseout",   "http-equiv",
    "data-text",   "background",  "onmousemove",  "onmouseover",
    "cellpadding", "onmousedown", "frameborder",  "marginwidth",
    "cellspacing", "placeholder", "marginheight", "accept-charset",
};

namespace detail {
namespace {

// The calling thread's variables in table order, innerHtml last. Addresses of thread_local
// variables differ between threads, so each thread builds its own table once.
const std::array<AttributeValue *, 125> &variables() {
    thread_local const std::array<AttributeValue *, 125> table{
        &attr::id,          &attr::dir,         &attr::rel,          &attr::rev,
        &attr::alt,         &attr::htmlFor,     &attr::src,          &attr::type,
        &attr::href,        &attr::text,        &attr::abbr,         &attr::size,
        &attr::face,        &attr::ch,          &attr::cite,         &attr::span,
        &attr::data,        &attr::axis,        &attr::Name,         &attr::name,
        &attr::code,        &attr::link,        &attr::lang,         &attr::cols,
        &attr::rows,        &attr::ismap,       &attr::shape,        &attr::style,
        &attr::alink,       &attr::width,       &attr::rules,        &attr::align,
        &attr::frame,       &attr::vlink,       &attr::defer,        &attr::color,
        &attr::media,       &attr::title,       &attr::scope,        &attr::className,
        &attr::manifest,    &attr::value,       &attr::clear,        &attr::start,
        &attr::label,       &attr::action,      &attr::height,       &attr::method,
        &attr::accept,      &attr::object,      &attr::scheme,       &attr::coords,
        &attr::usemap,      &attr::onblur,      &attr::nohref,       &attr::nowrap,
        &attr::hspace,      &attr::border,      &attr::valign,       &attr::vspace,
        &attr::onload,      &attr::target,      &attr::prompt,       &attr::onfocus,
        &attr::enctype,     &attr::onclick,     &attr::ontouchstart, &attr::onkeyup,
        &attr::profile,     &attr::version,     &attr::onreset,      &attr::charset,
        &attr::standby,     &attr::colspan,     &attr::charoff,      &attr::classid,
        &attr::compact,     &attr::declare,     &attr::rowspan,      &attr::checked,
        &attr::archive,     &attr::bgcolor,     &attr::content,      &attr::noshade,
        &attr::summary,     &attr::headers,     &attr::onselect,     &attr::readonly,
        &attr::tabindex,    &attr::onchange,    &attr::noresize,     &attr::disabled,
        &attr::longdesc,    &attr::codebase,    &attr::language,     &attr::datetime,
        &attr::selected,    &attr::hreflang,    &attr::onsubmit,     &attr::multiple,
        &attr::onunload,    &attr::codetype,    &attr::scrolling,    &attr::onkeydown,
        &attr::maxlength,   &attr::valuetype,   &attr::accesskey,    &attr::onmouseup,
        &attr::onkeypress,  &attr::ondblclick,  &attr::onmouseout,   &attr::httpEquiv,
        &attr::dataText,    &attr::background,  &attr::onmousemove,  &attr::onmouseover,
        &attr::cellpadding, &attr::onmousedown, &attr::frameborder,  &attr::marginwidth,
        &attr::cellspacing, &attr::placeholder, &attr::marginheight, &attr::acceptCharset,
        &innerHtml,
    };
    return table;
}

} // namespace

SetVariables takeVariables() {
    SetVariables values;
    const auto &table = variables();
    for (std::size_t position = 0; position < table.size(); ++position) {
        if (AttributeValue &variable = *table[position]) {
            values.push_back({position, std::move(*variable)});
            variable.reset();
        }
    }
    return values;
}

void putVariables(SetVariables values) {
    const auto &table = variables();
    for (SetVariable &set : values)
        *table[set.position] = std::move(set.value);
}

} // namespace detail
} // namespace quintarvel::html
