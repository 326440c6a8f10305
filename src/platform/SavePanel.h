#pragma once

#include "platform/Views.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quintarvel {

// Responses a panel hands to its completion handler.
inline constexpr int modalResponseOK = 1;
inline constexpr int modalResponseCancel = 0;

// A panel that asks the user for a file to write, shown as a sheet on a window. The GUI
// implements it with its toolkit; tests use scripted fakes. Main thread only.
class SavePanel {
  public:
    // Called once, on the main thread, when the user is done; the panel lets go of it then.
    using CompletionHandler = std::function<void(int response)>;

    virtual ~SavePanel() = default;

    virtual void setPrompt(const std::string &prompt) = 0;
    // Extensions without the dot, e.g. "fits".
    virtual void setAllowedFileTypes(const std::vector<std::string> &types) = 0;
    // The folder the panel shows first; none leaves the panel's own choice.
    virtual void setDirectoryURL(const std::optional<std::filesystem::path> &folder) = 0;
    virtual std::optional<std::filesystem::path> directoryURL() const = 0;
    virtual void setNameFieldStringValue(const std::string &name) = 0;

    // Shows the panel attached to `window` and returns at once.
    virtual void beginSheetModalForWindow(Window &window, CompletionHandler handler) = 0;
    // The file chosen; none before the user confirmed.
    virtual std::optional<std::filesystem::path> URL() const = 0;
};

using SavePanelFactory = std::function<std::shared_ptr<SavePanel>()>;

} // namespace quintarvel
