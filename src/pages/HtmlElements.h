#pragma once

#include "pages/HtmlElement.h"

#include <array>
#include <optional>
#include <ranges>
#include <span>
#include <string_view>
#include <utility>

// The element vocabulary of the HTML builder: one function per tag, the collection forms and
// the generic forms. Each ends in one renderElement call, so attributes come from the
// variables of html::attr assigned inside the content procedure:
//
//     html::html([&] {
//         html::body([&] {
//             html::ul(names, [&](const std::string &name) {
//                 html::li([&] { innerHtml = escapeHtml(name); });
//             });
//         });
//     });
//
// Void elements get no special form: html::br({}) renders "<br></br>".
namespace quintarvel::html {

// An element function: renders its tag with an empty attribute map around the content.
class Element {
  public:
    explicit constexpr Element(std::string_view tag) : tag_(tag) {}
    void operator()(const HtmlContent &content) const { renderElement(tag_, {}, content); }
    constexpr std::string_view tag() const { return tag_; }

  private:
    std::string_view tag_;
};

// Renders `tag` around `perItem` called once for each item of `items`, in order.
template <std::ranges::input_range Items, class PerItem>
void collectionElement(std::string_view tag, Items &&items, PerItem &&perItem) {
    renderElement(tag, {}, [&] {
        for (auto &&item : items)
            perItem(item);
    });
}

// An element function that also takes a sequence and a per-item procedure ("table", "ul",
// "tbody").
class CollectionElement : public Element {
  public:
    using Element::Element;
    using Element::operator();
    template <std::ranges::input_range Items, class PerItem>
    void operator()(Items &&items, PerItem &&perItem) const {
        collectionElement(tag(), std::forward<Items>(items), std::forward<PerItem>(perItem));
    }
};

// The generic forms, for tags the vocabulary lacks ("element" is itself a tag, hence the
// name). The second passes `attributes` unchanged: its entries beat the variables.
void namedElement(std::string_view tag, const HtmlContent &content);
void namedElement(std::string_view tag, const AttributeMap &attributes, const HtmlContent &content);

// One attribute an element always carries; without value it keeps the attribute off.
struct FixedAttribute {
    std::string_view name;
    std::optional<std::string_view> value;
};
using FixedAttributes = std::span<const FixedAttribute>;

inline constexpr std::array<FixedAttribute, 1> javascriptAttributes{{{"type", "text/javascript"}}};
inline constexpr std::array<FixedAttribute, 2> stylesheetAttributes{
    {{"rel", "stylesheet"}, {"type", "text/css"}}};

// Renders `tag` with the fixed attributes, which override variables of the same name.
void elementWithDefaults(std::string_view tag, FixedAttributes attributes,
                         const HtmlContent &content);
// A "script" element of type "text/javascript".
void javascript(const HtmlContent &content);
// A "link" element with rel "stylesheet" and type "text/css".
void stylesheet(const HtmlContent &content);

// The 142 per-tag functions. "template" is a C++ keyword and so is template_; the tag it
// renders stays "template".
inline constexpr Element a{"a"};
inline constexpr Element b{"b"};
inline constexpr Element i{"i"};
inline constexpr Element p{"p"};
inline constexpr Element q{"q"};
inline constexpr Element s{"s"};
inline constexpr Element u{"u"};

inline constexpr Element td{"td"};
inline constexpr Element tr{"tr"};
inline constexpr Element br{"br"};
inline constexpr Element dd{"dd"};
inline constexpr Element dl{"dl"};
inline constexpr Element dt{"dt"};
inline constexpr Element em{"em"};
inline constexpr Element hr{"hr"};
inline constexpr Element li{"li"};
inline constexpr Element ol{"ol"};
inline constexpr Element rp{"rp"};
inline constexpr Element rt{"rt"};
inline constexpr Element th{"th"};
inline constexpr Element tt{"tt"};
inline constexpr CollectionElement ul{"ul"};
inline constexpr Element h1{"h1"};
inline constexpr Element h2{"h2"};
inline constexpr Element h3{"h3"};
inline constexpr Element h4{"h4"};
inline constexpr Element h5{"h5"};
inline constexpr Element h6{"h6"};

inline constexpr Element bdi{"bdi"};
inline constexpr Element bdo{"bdo"};
inline constexpr Element big{"big"};
inline constexpr Element col{"col"};
inline constexpr Element del{"del"};
inline constexpr Element dfn{"dfn"};
inline constexpr Element dir{"dir"};
inline constexpr Element div{"div"};
inline constexpr Element img{"img"};
inline constexpr Element ins{"ins"};
inline constexpr Element kbd{"kbd"};
inline constexpr Element map{"map"};
inline constexpr Element nav{"nav"};
inline constexpr Element pre{"pre"};
inline constexpr Element rtc{"rtc"};
inline constexpr Element sub{"sub"};
inline constexpr Element sup{"sup"};
inline constexpr Element var{"var"};
inline constexpr Element wbr{"wbr"};
inline constexpr Element xmp{"xmp"};

inline constexpr Element body{"body"};
inline constexpr Element html{"html"};
inline constexpr Element abbr{"abbr"};
inline constexpr Element area{"area"};
inline constexpr Element base{"base"};
inline constexpr Element cite{"cite"};
inline constexpr Element code{"code"};
inline constexpr Element data{"data"};
inline constexpr Element font{"font"};
inline constexpr Element form{"form"};
inline constexpr Element head{"head"};
inline constexpr Element link{"link"};
inline constexpr Element main{"main"};
inline constexpr Element mark{"mark"};
inline constexpr Element menu{"menu"};
inline constexpr Element meta{"meta"};
inline constexpr Element nobr{"nobr"};
inline constexpr Element ruby{"ruby"};
inline constexpr Element samp{"samp"};
inline constexpr Element span{"span"};
inline constexpr Element time{"time"};

inline constexpr Element aside{"aside"};
inline constexpr Element audio{"audio"};
inline constexpr Element blink{"blink"};
inline constexpr Element embed{"embed"};
inline constexpr Element frame{"frame"};
inline constexpr Element image{"image"};
inline constexpr Element input{"input"};
inline constexpr Element label{"label"};
inline constexpr Element meter{"meter"};
inline constexpr Element param{"param"};
inline constexpr Element small{"small"};
inline constexpr Element style{"style"};
inline constexpr CollectionElement table{"table"};
inline constexpr CollectionElement tbody{"tbody"};
inline constexpr Element tfoot{"tfoot"};
inline constexpr Element thead{"thead"};
inline constexpr Element title{"title"};
inline constexpr Element track{"track"};
inline constexpr Element video{"video"};

inline constexpr Element applet{"applet"};
inline constexpr Element button{"button"};
inline constexpr Element canvas{"canvas"};
inline constexpr Element center{"center"};
inline constexpr Element dialog{"dialog"};
inline constexpr Element figure{"figure"};
inline constexpr Element footer{"footer"};
inline constexpr Element header{"header"};
inline constexpr Element hgroup{"hgroup"};
inline constexpr Element iframe{"iframe"};
inline constexpr Element keygen{"keygen"};
inline constexpr Element legend{"legend"};
inline constexpr Element object{"object"};
inline constexpr Element option{"option"};
inline constexpr Element output{"output"};
inline constexpr Element script{"script"};
inline constexpr Element select{"select"};
inline constexpr Element shadow{"shadow"};
inline constexpr Element source{"source"};
inline constexpr Element spacer{"spacer"};
inline constexpr Element strike{"strike"};
inline constexpr Element strong{"strong"};

inline constexpr Element acronym{"acronym"};
inline constexpr Element address{"address"};
inline constexpr Element article{"article"};
inline constexpr Element bgsound{"bgsound"};
inline constexpr Element caption{"caption"};
inline constexpr Element command{"command"};
inline constexpr Element content{"content"};
inline constexpr Element details{"details"};
inline constexpr Element element{"element"};
inline constexpr Element isindex{"isindex"};
inline constexpr Element listing{"listing"};
inline constexpr Element marquee{"marquee"};
inline constexpr Element noembed{"noembed"};
inline constexpr Element picture{"picture"};
inline constexpr Element section{"section"};
inline constexpr Element summary{"summary"};

inline constexpr Element basefont{"basefont"};
inline constexpr Element colgroup{"colgroup"};
inline constexpr Element datalist{"datalist"};
inline constexpr Element fieldset{"fieldset"};
inline constexpr Element frameset{"frameset"};
inline constexpr Element menuitem{"menuitem"};
inline constexpr Element multicol{"multicol"};
inline constexpr Element noframes{"noframes"};
inline constexpr Element noscript{"noscript"};
inline constexpr Element optgroup{"optgroup"};
inline constexpr Element progress{"progress"};
inline constexpr Element template_{"template"};
inline constexpr Element textarea{"textarea"};

inline constexpr Element plaintext{"plaintext"};

inline constexpr Element blockquote{"blockquote"};
inline constexpr Element figcaption{"figcaption"};

} // namespace quintarvel::html
