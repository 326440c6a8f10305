#include "app/AppGlobals.h"

#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/SystemLog.h"

#include <cstdio>

namespace quintarvel {
namespace {

std::string requiredVersionEntry(const char *key) {
    auto value = bundle::infoDictionaryValue(key);
    if (!value)
        fatalError(std::string("The application has no version entry ") + key);
    return *value;
}

std::string twoDigits(int n) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", n);
    return text;
}

IndexFileTable buildIndexFileTable() {
    std::vector<std::pair<std::string, std::vector<std::string>>> pairs;
    const auto single = [&](int number) {
        const std::string name = "index-" + std::to_string(number) + ".fits";
        pairs.push_back({name, {name}});
    };
    const auto split = [&](int number, int parts) {
        const std::string prefix = "index-" + std::to_string(number) + "-";
        std::vector<std::string> names;
        for (int i = 0; i < parts; ++i)
            names.push_back(prefix + twoDigits(i) + ".fits");
        pairs.push_back({prefix + "*.fits", std::move(names)});
    };
    for (int n = 4219; n >= 4208; --n)
        single(n);
    for (int n = 4207; n >= 4205; --n)
        split(n, 12);
    for (int n = 4204; n >= 4200; --n)
        split(n, 48);
    for (int n = 4119; n >= 4107; --n)
        single(n);
    return IndexFileTable(pairs.begin(), pairs.end());
}

} // namespace

const Color &successColor() {
    static const Color color = Color::calibrated(0, 0.6, 0, 1);
    return color;
}

const Color &warningColor() {
    static const Color color = Color::calibrated(1.0, 0.5, 0, 1);
    return color;
}

const Color &errorColor() {
    static const Color color = Color::calibrated(0.8, 0, 0, 1);
    return color;
}

const std::string &appShortVersion() {
    static const std::string value = requiredVersionEntry("CFBundleShortVersionString");
    return value;
}

const std::string &appBuildVersion() {
    static const std::string value = requiredVersionEntry("CFBundleVersion");
    return value;
}

const std::filesystem::path &legacySupportURL() {
    static const std::filesystem::path path = [] {
        auto support = folders::applicationSupport();
        if (!support)
            fatalError("No Application Support folder: set HOME or XDG_DATA_HOME");
        return *support / "Quintarvel";
    }();
    return path;
}

const std::filesystem::path &sharedContainerURL() {
    static const std::filesystem::path path = [] {
        auto container = folders::groupContainer(applicationGroup);
        if (!container)
            fatalError(std::string("No container folder for the application group ") +
                       applicationGroup + ": set HOME or XDG_DATA_HOME");
        return *container;
    }();
    return path;
}

const std::filesystem::path &sharedSupportURL() {
    static const std::filesystem::path path =
        sharedContainerURL() / "Data/Library/Application Support/Quintarvel";
    return path;
}

const std::filesystem::path &configurationURL() {
    static const std::filesystem::path path = sharedSupportURL() / "quintarvel-0.cfg";
    return path;
}

const IndexFileTable &indexFileTable() {
    static const IndexFileTable table = buildIndexFileTable();
    return table;
}

} // namespace quintarvel
