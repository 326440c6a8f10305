#include "app/AppGlobals.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <set>

namespace quintarvel {
namespace {

TEST(AppGlobals, FoldersLiveUnderTheDataHomeAndEveryThreadSeesTheSameValue) {
    setenv("XDG_DATA_HOME", "/nonexistent/share", 1); // addresses only: nothing is created
    EXPECT_EQ(legacySupportURL().string(), "/nonexistent/share/Quintarvel");
    EXPECT_EQ(sharedContainerURL().string(), "/nonexistent/share/K3VQ7RZ2NP.TALVEN");
    EXPECT_EQ(sharedSupportURL().string(),
              "/nonexistent/share/K3VQ7RZ2NP.TALVEN/Data/Library/Application Support/Quintarvel");
    EXPECT_EQ(configurationURL().string(), sharedSupportURL().string() + "/quintarvel-0.cfg");
    auto other = std::async(std::launch::async, [] { return &sharedSupportURL(); });
    EXPECT_EQ(other.get(), &sharedSupportURL());
    EXPECT_NE(successColor(), Color::controlText());
    EXPECT_FALSE(appShortVersion().empty() || appBuildVersion().empty());
}

TEST(AppGlobals, IndexFileTableHas33KeysAnd301DistinctFiles) {
    const auto &table = indexFileTable();
    EXPECT_EQ(table.size(), 33u);
    std::set<std::string> files;
    std::size_t total = 0;
    for (const auto &[key, names] : table) {
        total += names.size();
        files.insert(names.begin(), names.end());
    }
    EXPECT_EQ(total, 301u);
    EXPECT_EQ(files.size(), 301u);
    EXPECT_EQ(table.at("index-4107.fits"), std::vector<std::string>{"index-4107.fits"});
    EXPECT_FALSE(table.contains("index-4207.fits") || table.contains("index-4106.fits"));
    const auto &split12 = table.at("index-4205-*.fits");
    ASSERT_EQ(split12.size(), 12u);
    EXPECT_EQ(split12.front(), "index-4205-00.fits");
    EXPECT_EQ(split12.back(), "index-4205-11.fits");
    const auto &split48 = table.at("index-4204-*.fits");
    ASSERT_EQ(split48.size(), 48u);
    EXPECT_EQ(split48[9], "index-4204-09.fits");
    EXPECT_EQ(split48.back(), "index-4204-47.fits");
}

} // namespace
} // namespace quintarvel
