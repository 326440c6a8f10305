#pragma once

#include "pages/HtmlAttributes.h"
#include "pages/HtmlBuffers.h"
#include "pages/HtmlElement.h"

#include <gtest/gtest.h>

#include <string>

namespace quintarvel::test {

// Each test starts with an empty page entry and no attribute variable set on the test thread.
class FreshHtmlThread : public ::testing::Test {
  protected:
    void SetUp() override {
        htmlBuffers().reset();
        html::detail::takeVariables();
    }
    void TearDown() override { html::detail::takeVariables(); }
    static std::string rendered() { return htmlBuffers().text(); }
};

} // namespace quintarvel::test
