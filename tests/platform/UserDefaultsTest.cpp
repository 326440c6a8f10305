#include "platform/UserDefaults.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace quintarvel {
namespace {

using nlohmann::json;
using test::writeFile;

class UserDefaultsTest : public ::testing::Test {
  protected:
    std::filesystem::path file() const { return dir / "config" / "Quintarvel" / "defaults.json"; }
    json stored() const { return json::parse(test::readFile(file())); }
    test::TempDir dir;
};

TEST_F(UserDefaultsTest, ValuesReachTheStandardFileAndComeBackInANewProcess) {
    // standard() is made once per process, from the environment of its first call: it is
    // looked at in a process of its own, which re-runs this test binary from its start.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto standardFile = [&] {
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        const auto standard = UserDefaults::standard();
        const bool found = standard->file() == file() && standard == UserDefaults::standard();
        std::fprintf(stderr, "standard file: %s\n", standard->file().value_or("(none)").c_str());
        std::filesystem::remove_all(dir.path()); // the child's own: std::exit runs no destructor
        std::exit(found ? 0 : 1);
    };
    EXPECT_EXIT(standardFile(), ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);

    UserDefaults defaults(file());
    EXPECT_FALSE(defaults.boolForKey("writeWCSHeaders")); // never stored
    EXPECT_FALSE(std::filesystem::exists(file()));        // reading writes nothing

    EXPECT_TRUE(defaults.setBool(true, "removeCreatedFiles"));
    EXPECT_TRUE(defaults.setBool(false, "writeWCSHeaders"));
    EXPECT_EQ(stored(), (json{{"removeCreatedFiles", true}, {"writeWCSHeaders", false}}));
    UserDefaults again(file());
    EXPECT_TRUE(again.boolForKey("removeCreatedFiles"));
    EXPECT_FALSE(again.boolForKey("writeWCSHeaders"));
}

TEST_F(UserDefaultsTest, OddValuesReadAsFalseAndNothingUnknownIsLostOnAChange) {
    std::filesystem::create_directories(file().parent_path());
    writeFile(file(), R"({"one": 1, "zero": 0, "text": "yes", "list": [1], "other": {"a": 2}})");
    UserDefaults defaults(file());
    EXPECT_TRUE(defaults.boolForKey("one"));
    for (const char *key : {"zero", "text", "list"})
        EXPECT_FALSE(defaults.boolForKey(key)) << key;
    defaults.setBool(true, "zero");
    EXPECT_EQ(stored()["other"], (json{{"a", 2}}));
    EXPECT_EQ(stored()["zero"], true);

    // A file that holds no object reads as empty and is replaced on the next change.
    for (const char *text : {"not json {", "[true]", ""}) {
        writeFile(file(), text);
        ::testing::internal::CaptureStderr();
        UserDefaults broken(file());
        ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(broken.boolForKey("removeCreatedFiles")) << text;
        EXPECT_TRUE(broken.setBool(true, "removeCreatedFiles"));
        EXPECT_EQ(stored(), (json{{"removeCreatedFiles", true}}));
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

} // namespace
} // namespace quintarvel
