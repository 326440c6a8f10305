#include "pages/HtmlElements.h"

#include "pages/HtmlBuffers.h"
#include "support/FreshHtmlThread.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

namespace quintarvel::html {
namespace {

class HtmlElements : public test::FreshHtmlThread {};

// Each function's C++ name, as written, against the tag it renders.
#define TAG(function) std::pair<std::string, const Element *>(#function, &function)

TEST_F(HtmlElements, EveryTagFunctionRendersItsOwnTagWithNothingElse) {
    // clang-format off
    const std::vector<std::pair<std::string, const Element *>> tags{
        TAG(a), TAG(b), TAG(i), TAG(p), TAG(q), TAG(s), TAG(u), TAG(td), TAG(tr), TAG(br), TAG(dd),
        TAG(dl), TAG(dt), TAG(em), TAG(hr), TAG(li), TAG(ol), TAG(rp), TAG(rt), TAG(th), TAG(tt),
        TAG(ul), TAG(h1), TAG(h2), TAG(h3), TAG(h4), TAG(h5), TAG(h6), TAG(bdi), TAG(bdo), TAG(big),
        TAG(col), TAG(del), TAG(dfn), TAG(dir), TAG(div), TAG(img), TAG(ins), TAG(kbd), TAG(map),
        TAG(nav), TAG(pre), TAG(rtc), TAG(sub), TAG(sup), TAG(var), TAG(wbr), TAG(xmp), TAG(body),
        TAG(html), TAG(abbr), TAG(area), TAG(base), TAG(cite), TAG(code), TAG(data), TAG(font),
        TAG(form), TAG(head), TAG(link), TAG(main), TAG(mark), TAG(menu), TAG(meta), TAG(nobr),
        TAG(ruby), TAG(samp), TAG(span), TAG(time), TAG(aside), TAG(audio), TAG(blink), TAG(embed),
        TAG(frame), TAG(image), TAG(input), TAG(label), TAG(meter), TAG(param), TAG(small),
        TAG(style), TAG(table), TAG(tbody), TAG(tfoot), TAG(thead), TAG(title), TAG(track),
        TAG(video), TAG(applet), TAG(button), TAG(canvas), TAG(center), TAG(dialog), TAG(figure),
        TAG(footer), TAG(header), TAG(hgroup), TAG(iframe), TAG(keygen), TAG(legend), TAG(object),
        TAG(option), TAG(output), TAG(script), TAG(select), TAG(shadow), TAG(source), TAG(spacer),
        TAG(strike), TAG(strong), TAG(acronym), TAG(address), TAG(article), TAG(bgsound),
        TAG(caption), TAG(command), TAG(content), TAG(details), TAG(element), TAG(isindex),
        TAG(listing), TAG(marquee), TAG(noembed), TAG(picture), TAG(section), TAG(summary),
        TAG(basefont), TAG(colgroup), TAG(datalist), TAG(fieldset), TAG(frameset), TAG(menuitem),
        TAG(multicol), TAG(noframes), TAG(noscript), TAG(optgroup), TAG(progress), TAG(textarea),
        TAG(plaintext), TAG(blockquote), TAG(figcaption),
        {"template", &template_}};
    // clang-format on
    ASSERT_EQ(tags.size(), 142u);
    for (const auto &[tag, function] : tags) {
        htmlBuffers().reset();
        (*function)([] { attr::id = "x"; });
        (*function)({});
        EXPECT_EQ(rendered(), "<" + tag + " id=\"x\"></" + tag + "><" + tag + "></" + tag + ">");
    }
}

#undef TAG

TEST_F(HtmlElements, CollectionFormsVisitEveryItemOnceInOrder) {
    ul(std::vector<int>{}, [](int) { ADD_FAILURE() << "no item to visit"; });
    ul(std::vector<int>{3, 1, 2}, [&](int item) { li([&] { innerHtml = std::to_string(item); }); });
    // Any sequence; an attribute set in the per-item procedure lands on the collection element.
    table(std::list<std::string>{"m31", "m42"}, [](const std::string &row) {
        attr::border = "1";
        tr([&] { td([&] { innerHtml = row; }); });
    });
    collectionElement("dl", std::vector<char>{'a'},
                      [](char c) { dt([&] { innerHtml = std::string(1, c); }); });
    table([] { tr({}); }); // the per-tag form still takes a content procedure
    EXPECT_EQ(rendered(), "<ul></ul><ul><li>3</li><li>1</li><li>2</li></ul>"
                          "<table border=\"1\"><tr><td>m31</td></tr><tr><td>m42</td></tr></table>"
                          "<dl><dt>a</dt></dl><table><tr></tr></table>");
}

TEST_F(HtmlElements, GenericAndFixedFormsLayTheirAttributesOverTheVariables) {
    namedElement("x-star", [] { attr::title = "Vega"; });
    namedElement("element", {{"id", "given"}, {"title", std::nullopt}}, [] {
        attr::id = "variable";
        attr::title = "suppressed";
        attr::lang = "en";
    });
    javascript([] { attr::type = "module"; });
    stylesheet([] { attr::href = "style.css"; });
    const std::array<FixedAttribute, 2> fixed{{{"rel", std::nullopt}, {"name", "n"}}};
    elementWithDefaults("meta", fixed, [] {
        attr::rel = "dropped";
        attr::name = "overridden";
    });
    EXPECT_EQ(rendered(),
              "<x-star title=\"Vega\"></x-star><element id=\"given\" lang=\"en\"></element>"
              "<script type=\"text/javascript\"></script>"
              "<link href=\"style.css\" rel=\"stylesheet\" type=\"text/css\"></link>"
              "<meta name=\"n\"></meta>");
}

} // namespace
} // namespace quintarvel::html
