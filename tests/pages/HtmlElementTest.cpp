#include "pages/HtmlElement.h"

#include "pages/HtmlBuffers.h"
#include "support/FreshHtmlThread.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

namespace quintarvel::html {
namespace {

class HtmlElement : public test::FreshHtmlThread {};

TEST_F(HtmlElement, AttributesLandOnTheInnermostElementAndInnerHtmlReplacesContent) {
    appendHtml("before");
    attr::id = "page"; // outside every element: written nowhere, and kept
    renderElement("div", {}, [] {
        EXPECT_FALSE(attr::id.has_value());
        attr::id = "before-child";
        renderElement("span", {}, [] { attr::className = "inner"; });
        renderElement("p", {}, nullptr);
    });
    renderElement("div", {}, [] {
        renderElement("span", {}, nullptr);
        attr::id = "after-child";
    });
    renderElement("td", {}, [] {
        renderElement("b", {}, [] { innerHtml = "<em>child</em>"; });
        appendText("gone");
        innerHtml = "<u>only</u>";
    });
    renderElement("p", {}, [] {
        appendHtml("gone too");
        innerHtml = "";
    });
    EXPECT_EQ(rendered(),
              "before<div id=\"before-child\"><span class=\"inner\"></span><p></p></div>"
              "<div id=\"after-child\"><span></span></div><td><u>only</u></td><p></p>");
    EXPECT_EQ(attr::id, "page");
}

TEST_F(HtmlElement, ArgumentMapLaysOverVariablesWithTheirAttributeNames) {
    EXPECT_EQ(std::set<std::string_view>(attributeNames.begin(), attributeNames.end()).size(),
              attributeNames.size());
    renderElement(
        "a", {{"href", "/argument"}, {"id", std::nullopt}, {"data-x", "1"}, {"title", ""}}, [] {
            attr::href = "/variable";
            attr::id = "suppressed";
            attr::Name = "upper";
            attr::name = "lower";
            attr::htmlFor = "f";
            attr::className = "c";
            attr::ch = "h";
            attr::httpEquiv = "e";
            attr::dataText = "t";
            attr::acceptCharset = "a";
        });
    EXPECT_EQ(rendered(), "<a Name=\"upper\" accept-charset=\"a\" char=\"h\" class=\"c\" "
                          "data-text=\"t\" data-x=\"1\" for=\"f\" href=\"/argument\" "
                          "http-equiv=\"e\" name=\"lower\" title=\"\"></a>");
}

TEST_F(HtmlElement, AttributeValuesAndTextAreEscapedMarkupIsNot) {
    renderElement("a", {}, [] {
        attr::href = "/x?a=1&b=\"2\"";
        attr::title = "<it's>";
        appendText("a < b & c");
    });
    renderElement("td", {}, [] { innerHtml = "<b>bold</b>"; });
    EXPECT_EQ(rendered(), "<a href=\"/x?a=1&amp;b=&quot;2&quot;\" title=\"&lt;it&#39;s&gt;\">"
                          "a &lt; b &amp; c</a><td><b>bold</b></td>");
}

TEST_F(HtmlElement, ThrowingContentLeavesEntryAndVariablesAsTheyWere) {
    appendHtml("<p></p>");
    attr::id = "outer";
    EXPECT_THROW(renderElement("div", {},
                               [] {
                                   attr::id = "inner";
                                   renderElement("span", {}, nullptr);
                                   throw std::runtime_error("page failed");
                               }),
                 std::runtime_error);
    EXPECT_EQ(rendered(), "<p></p>");
    EXPECT_EQ(attr::id, "outer");
    attr::id.reset();
    renderElement("br", {}, nullptr);
    EXPECT_EQ(rendered(), "<p></p><br></br>");
}

} // namespace
} // namespace quintarvel::html
