#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quintarvel::test {

// The links of a folder listing page, in page order: (href, text) of every
// `<a href="...">...</a>`.
inline std::vector<std::pair<std::string, std::string>> listingRows(const std::string &page) {
    std::vector<std::pair<std::string, std::string>> rows;
    const std::string open = "<a href=\"";
    std::size_t at = 0;
    while ((at = page.find(open, at)) != std::string::npos) {
        const std::size_t hrefEnd = page.find("\">", at + open.size());
        const std::size_t textEnd = page.find("</a>", hrefEnd);
        if (hrefEnd == std::string::npos || textEnd == std::string::npos)
            break;
        rows.emplace_back(page.substr(at + open.size(), hrefEnd - at - open.size()),
                          page.substr(hrefEnd + 2, textEnd - hrefEnd - 2));
        at = textEnd;
    }
    return rows;
}

} // namespace quintarvel::test
