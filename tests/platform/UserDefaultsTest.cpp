#include "platform/UserDefaults.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quintarvel {
namespace {

using test::readFile;
using test::writeFile;

class UserDefaultsTest : public ::testing::Test {
  protected:
    std::filesystem::path file() const { return dir / "config" / "Quintarvel" / "defaults.json"; }
    nlohmann::json stored() const { return nlohmann::json::parse(readFile(file())); }
    test::TempDir dir;
};

TEST_F(UserDefaultsTest, ValuesReachTheFileAndComeBackInANewProcess) {
    UserDefaults defaults(file());
    EXPECT_FALSE(defaults.boolForKey("writeWCSHeaders")); // never stored
    EXPECT_FALSE(std::filesystem::exists(file()));        // reading writes nothing

    EXPECT_TRUE(defaults.setBool(true, "removeCreatedFiles"));
    EXPECT_TRUE(defaults.setBool(false, "writeWCSHeaders"));
    EXPECT_TRUE(defaults.boolForKey("removeCreatedFiles"));
    EXPECT_EQ(stored(), (nlohmann::json{{"removeCreatedFiles", true}, {"writeWCSHeaders", false}}));

    UserDefaults again(file());
    EXPECT_TRUE(again.boolForKey("removeCreatedFiles"));
    EXPECT_FALSE(again.boolForKey("writeWCSHeaders"));
    // No stray temporary file beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file().parent_path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(UserDefaultsTest, NumbersCountAsBoolsAndUnknownKeysSurviveAChange) {
    std::filesystem::create_directories(file().parent_path());
    writeFile(file(), R"({"one": 1, "zero": 0, "text": "yes", "list": [1], "other": {"a": 2}})");
    UserDefaults defaults(file());
    EXPECT_TRUE(defaults.boolForKey("one"));
    EXPECT_FALSE(defaults.boolForKey("zero"));
    EXPECT_FALSE(defaults.boolForKey("text"));
    EXPECT_FALSE(defaults.boolForKey("list"));

    defaults.setBool(true, "zero");
    EXPECT_EQ(stored()["other"], (nlohmann::json{{"a", 2}}));
    EXPECT_EQ(stored()["zero"], true);
}

TEST_F(UserDefaultsTest, AFileThatIsNoObjectReadsAsEmptyAndIsReplacedOnChange) {
    std::filesystem::create_directories(file().parent_path());
    for (const char *text : {"not json {", "[true]", ""}) {
        writeFile(file(), text);
        ::testing::internal::CaptureStderr();
        UserDefaults defaults(file());
        ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(defaults.boolForKey("removeCreatedFiles")) << text;
        EXPECT_TRUE(defaults.setBool(true, "removeCreatedFiles"));
        EXPECT_EQ(stored(), (nlohmann::json{{"removeCreatedFiles", true}}));
    }
}

TEST_F(UserDefaultsTest, AFileThatCannotBeWrittenKeepsTheValueInMemory) {
    writeFile(dir / "config", "a file where the folder belongs");
    UserDefaults defaults(file());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(defaults.setBool(true, "removeCreatedFiles"));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Cannot write settings"),
              std::string::npos);
    EXPECT_TRUE(defaults.boolForKey("removeCreatedFiles"));

    UserDefaults memoryOnly(std::nullopt);
    EXPECT_FALSE(memoryOnly.setBool(true, "writeWCSHeaders"));
    EXPECT_TRUE(memoryOnly.boolForKey("writeWCSHeaders"));
}

TEST_F(UserDefaultsTest, TheStandardDefaultsLiveInTheConfigurationFolder) {
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    const auto standard = UserDefaults::standard();
    ASSERT_TRUE(standard->file());
    EXPECT_EQ(*standard->file(), file());
    EXPECT_EQ(UserDefaults::standard(), standard);
}

} // namespace
} // namespace quintarvel
