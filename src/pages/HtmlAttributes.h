#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The variables page code assigns inside an element's content procedure to give that element
// attributes or replace its content (see renderElement). They are thread_local: each thread
// building a page has its own set, so pages may be built on several threads at once. Every
// variable starts without value on each thread, and a value lasts until it is assigned again.
namespace quintarvel::html {

using AttributeValue = std::optional<std::string>;

// Replaces the content of the innermost element whose content procedure assigns it. Markup,
// written as it is: put untrusted text through escapeHtml first. Never written as an attribute.
inline thread_local AttributeValue innerHtml;

// One variable per attribute, named after it: a hyphen is dropped and the next letter raised
// ("http-equiv" -> httpEquiv), case is kept ("Name" and "name" are two attributes), and the
// three C++ keywords take their DOM names: "for" -> htmlFor, "class" -> className,
// "char" -> ch. Element functions live outside this namespace, so "title", "style" and the
// other names shared with tags need no renaming.
namespace attr {
inline thread_local AttributeValue id;
inline thread_local AttributeValue dir;
inline thread_local AttributeValue rel;
inline thread_local AttributeValue rev;
inline thread_local AttributeValue alt;
inline thread_local AttributeValue htmlFor;
inline thread_local AttributeValue src;
inline thread_local AttributeValue type;
inline thread_local AttributeValue href;
inline thread_local AttributeValue text;
inline thread_local AttributeValue abbr;
inline thread_local AttributeValue size;
inline thread_local AttributeValue face;
inline thread_local AttributeValue ch;
inline thread_local AttributeValue cite;
inline thread_local AttributeValue span;
inline thread_local AttributeValue data;
inline thread_local AttributeValue axis;
inline thread_local AttributeValue Name;
inline thread_local AttributeValue name;
inline thread_local AttributeValue code;
inline thread_local AttributeValue link;
inline thread_local AttributeValue lang;
inline thread_local AttributeValue cols;
inline thread_local AttributeValue rows;
inline thread_local AttributeValue ismap;
inline thread_local AttributeValue shape;
inline thread_local AttributeValue style;
inline thread_local AttributeValue alink;
inline thread_local AttributeValue width;
inline thread_local AttributeValue rules;
inline thread_local AttributeValue align;
inline thread_local AttributeValue frame;
inline thread_local AttributeValue vlink;
inline thread_local AttributeValue defer;
inline thread_local AttributeValue color;
inline thread_local AttributeValue media;
inline thread_local AttributeValue title;
inline thread_local AttributeValue scope;
inline thread_local AttributeValue className;
inline thread_local AttributeValue manifest;
inline thread_local AttributeValue value;
inline thread_local AttributeValue clear;
inline thread_local AttributeValue start;
inline thread_local AttributeValue label;
inline thread_local AttributeValue action;
inline thread_local AttributeValue height;
inline thread_local AttributeValue method;
inline thread_local AttributeValue accept;
inline thread_local AttributeValue object;
inline thread_local AttributeValue scheme;
inline thread_local AttributeValue coords;
inline thread_local AttributeValue usemap;
inline thread_local AttributeValue onblur;
inline thread_local AttributeValue nohref;
inline thread_local AttributeValue nowrap;
inline thread_local AttributeValue hspace;
inline thread_local AttributeValue border;
inline thread_local AttributeValue valign;
inline thread_local AttributeValue vspace;
inline thread_local AttributeValue onload;
inline thread_local AttributeValue target;
inline thread_local AttributeValue prompt;
inline thread_local AttributeValue onfocus;
inline thread_local AttributeValue enctype;
inline thread_local AttributeValue onclick;
inline thread_local AttributeValue ontouchstart;
inline thread_local AttributeValue onkeyup;
inline thread_local AttributeValue profile;
inline thread_local AttributeValue version;
inline thread_local AttributeValue onreset;
inline thread_local AttributeValue charset;
inline thread_local AttributeValue standby;
inline thread_local AttributeValue colspan;
inline thread_local AttributeValue charoff;
inline thread_local AttributeValue classid;
inline thread_local AttributeValue compact;
inline thread_local AttributeValue declare;
inline thread_local AttributeValue rowspan;
inline thread_local AttributeValue checked;
inline thread_local AttributeValue archive;
inline thread_local AttributeValue bgcolor;
inline thread_local AttributeValue content;
inline thread_local AttributeValue noshade;
inline thread_local AttributeValue summary;
inline thread_local AttributeValue headers;
inline thread_local AttributeValue onselect;
inline thread_local AttributeValue readonly;
inline thread_local AttributeValue tabindex;
inline thread_local AttributeValue onchange;
inline thread_local AttributeValue noresize;
inline thread_local AttributeValue disabled;
inline thread_local AttributeValue longdesc;
inline thread_local AttributeValue codebase;
inline thread_local AttributeValue language;
inline thread_local AttributeValue datetime;
inline thread_local AttributeValue selected;
inline thread_local AttributeValue hreflang;
inline thread_local AttributeValue onsubmit;
inline thread_local AttributeValue multiple;
inline thread_local AttributeValue onunload;
inline thread_local AttributeValue codetype;
inline thread_local AttributeValue scrolling;
inline thread_local AttributeValue onkeydown;
inline thread_local AttributeValue maxlength;
inline thread_local AttributeValue valuetype;
inline thread_local AttributeValue accesskey;
inline thread_local AttributeValue onmouseup;
inline thread_local AttributeValue onkeypress;
inline thread_local AttributeValue ondblclick;
inline thread_local AttributeValue onmouseout;
inline thread_local AttributeValue httpEquiv;
inline thread_local AttributeValue dataText;
inline thread_local AttributeValue background;
inline thread_local AttributeValue onmousemove;
inline thread_local AttributeValue onmouseover;
inline thread_local AttributeValue cellpadding;
inline thread_local AttributeValue onmousedown;
inline thread_local AttributeValue frameborder;
inline thread_local AttributeValue marginwidth;
inline thread_local AttributeValue cellspacing;
inline thread_local AttributeValue placeholder;
inline thread_local AttributeValue marginheight;
inline thread_local AttributeValue acceptCharset;
} // namespace attr

// The 124 attribute names, in the order renderElement enters set variables.
extern const std::array<std::string_view, 124> attributeNames;

namespace detail {

// A variable holding a value: its position in attributeNames, or innerHtmlPosition.
struct SetVariable {
    std::size_t position;
    std::string value;
};
constexpr std::size_t innerHtmlPosition = 124;
using SetVariables = std::vector<SetVariable>;

// Moves the values of the calling thread's set variables out, in table order with innerHtml
// last, and leaves all 125 without value.
SetVariables takeVariables();
// Assigns the given values to the calling thread's variables; others keep theirs.
void putVariables(SetVariables values);

} // namespace detail
} // namespace quintarvel::html
