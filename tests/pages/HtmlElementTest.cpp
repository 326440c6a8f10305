#include "pages/HtmlElement.h"

#include "pages/HtmlBuffers.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace quintarvel::html {
namespace {

// Each test starts with an empty entry and no variable set on the test thread.
class HtmlElement : public ::testing::Test {
  protected:
    void SetUp() override {
        htmlBuffers().reset();
        detail::takeVariables();
    }
    void TearDown() override { detail::takeVariables(); }
    static std::string rendered() { return htmlBuffers().text(); }
};

TEST_F(HtmlElement, ElementsNestAndFollowWhatTheEntryHeld) {
    renderElement("br", {}, [] {});
    EXPECT_EQ(rendered(), "<br></br>");

    htmlBuffers().reset();
    appendHtml("before");
    renderElement("html", {}, [] {
        renderElement("body", {}, [] {
            renderElement("p", {}, nullptr);
            renderElement("hr", {}, [] { appendHtml("<i>x</i>"); });
        });
    });
    EXPECT_EQ(rendered(), "before<html><body><p></p><hr><i>x</i></hr></body></html>");
}

TEST_F(HtmlElement, AssignmentAppliesToTheInnermostElementMakingIt) {
    renderElement("div", {}, [] {
        attr::id = "before-child";
        renderElement("span", {}, [] { attr::className = "inner"; });
    });
    renderElement("div", {}, [] {
        renderElement("span", {}, nullptr);
        attr::id = "after-child";
    });
    EXPECT_EQ(rendered(), "<div id=\"before-child\"><span class=\"inner\"></span></div>"
                          "<div id=\"after-child\"><span></span></div>");
}

TEST_F(HtmlElement, AssignmentOutsideEveryElementIsWrittenNowhereAndKept) {
    attr::id = "page";
    innerHtml = "kept";
    renderElement("div", {}, [] {
        EXPECT_FALSE(attr::id.has_value());
        EXPECT_FALSE(innerHtml.has_value());
        renderElement("p", {}, nullptr);
    });
    EXPECT_EQ(rendered(), "<div><p></p></div>");
    EXPECT_EQ(attr::id, "page");
    EXPECT_EQ(innerHtml, "kept");
}

TEST_F(HtmlElement, InnerHtmlReplacesWhatTheContentWrote) {
    renderElement("td", {}, [] {
        renderElement("b", {}, [] { innerHtml = "<em>child</em>"; });
        appendText("gone");
        innerHtml = "<u>only</u>";
    });
    renderElement("p", {}, [] {
        appendHtml("gone too");
        innerHtml = "";
    });
    EXPECT_EQ(rendered(), "<td><u>only</u></td><p></p>");
}

TEST_F(HtmlElement, ArgumentMapLaysOverVariables) {
    renderElement(
        "a", {{"href", "/argument"}, {"id", std::nullopt}, {"data-x", "1"}, {"title", ""}}, [] {
            attr::href = "/variable";
            attr::id = "suppressed";
            attr::Name = "upper";
            attr::name = "lower";
        });
    EXPECT_EQ(rendered(),
              "<a Name=\"upper\" data-x=\"1\" href=\"/argument\" name=\"lower\" title=\"\"></a>");
}

TEST_F(HtmlElement, VariablesCarryTheirAttributeNames) {
    EXPECT_EQ(attributeNames.size(), 124u);
    EXPECT_EQ(std::set<std::string_view>(attributeNames.begin(), attributeNames.end()).size(),
              124u);
    renderElement("x", {}, [] {
        attr::htmlFor = "f";
        attr::className = "c";
        attr::ch = "h";
        attr::httpEquiv = "e";
        attr::dataText = "t";
        attr::acceptCharset = "a";
        attr::title = "i";
    });
    EXPECT_EQ(rendered(), "<x accept-charset=\"a\" char=\"h\" class=\"c\" data-text=\"t\" "
                          "for=\"f\" http-equiv=\"e\" title=\"i\"></x>");
}

TEST_F(HtmlElement, AttributeValuesAndTextAreEscapedMarkupIsNot) {
    renderElement("a", {}, [] {
        attr::href = "/x?a=1&b=\"2\"";
        attr::title = "<it's>";
        appendText("a < b & c");
    });
    EXPECT_EQ(rendered(), "<a href=\"/x?a=1&amp;b=&quot;2&quot;\" title=\"&lt;it&#39;s&gt;\">"
                          "a &lt; b &amp; c</a>");
    htmlBuffers().reset();
    renderElement("td", {}, [] { innerHtml = "<b>bold</b>"; });
    EXPECT_EQ(rendered(), "<td><b>bold</b></td>");
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

TEST_F(HtmlElement, ThreadsBuildPagesIndependently) {
    auto page = [](const std::string &who) {
        htmlBuffers().reset();
        std::string expected;
        for (int i = 0; i < 300; ++i) {
            renderElement("li", {}, [&] {
                attr::id = who;
                renderElement("a", {}, [&] {
                    attr::href = who + std::to_string(i);
                    innerHtml = who;
                });
            });
            expected += "<li id=\"" + who + "\"><a href=\"" + who + std::to_string(i) + "\">" +
                        who + "</a></li>";
        }
        return htmlBuffers().text() == expected;
    };
    bool firstMatches = false, secondMatches = false;
    std::thread first([&] { firstMatches = page("one"); });
    std::thread second([&] { secondMatches = page("two"); });
    first.join();
    second.join();
    EXPECT_TRUE(firstMatches);
    EXPECT_TRUE(secondMatches);
    EXPECT_EQ(rendered(), "");
}

} // namespace
} // namespace quintarvel::html
