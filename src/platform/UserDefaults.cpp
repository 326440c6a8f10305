#include "platform/UserDefaults.h"

#include "platform/AtomicFile.h"
#include "platform/Folders.h"
#include "platform/SystemLog.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace quintarvel {

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static const auto defaults = [] {
        auto config = folders::configHome();
        if (!config)
            systemLog("No configuration folder (HOME and XDG_CONFIG_HOME unset): settings "
                      "will not be kept");
        return std::make_shared<UserDefaults>(
            config ? std::optional(*config / "Quintarvel" / "defaults.json") : std::nullopt);
    }();
    return defaults;
}

UserDefaults::UserDefaults(std::optional<std::filesystem::path> file) : file_(std::move(file)) {
    if (!file_)
        return;
    std::ifstream in(*file_, std::ios::binary);
    if (!in)
        return; // nothing stored yet
    std::ostringstream text;
    text << in.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, false);
    if (parsed.is_object())
        values_ = std::move(parsed);
    else
        systemLog("Settings in " + file_->string() + " are no JSON object; starting afresh");
}

bool UserDefaults::boolForKey(const std::string &key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end())
        return false;
    if (found->is_boolean())
        return found->get<bool>();
    if (found->is_number())
        return found->get<double>() != 0;
    return false;
}

bool UserDefaults::setBool(bool value, const std::string &key) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
    return write();
}

bool UserDefaults::write() {
    if (!file_)
        return false;
    std::error_code ec;
    std::filesystem::create_directories(file_->parent_path(), ec);
    if (!ec && writeFileAtomically(*file_, values_.dump(2) + "\n"))
        return true;
    systemLog("Cannot write settings to " + file_->string() +
              (ec ? ": " + ec.message() : std::string()));
    return false;
}

} // namespace quintarvel
