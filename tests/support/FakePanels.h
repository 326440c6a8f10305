#pragma once

#include "platform/OpenPanel.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quintarvel::test {

// A scripted panel: records what it was told and, on `finish`, answers as a user would.
class FakePanel : public OpenPanel {
  public:
    void setCanChooseFiles(bool canChoose) override { canChooseFiles = canChoose; }
    void setPrompt(const std::string &text) override { prompt = text; }
    void setAllowedFileTypes(const std::vector<std::string> &types) override {
        allowedFileTypes = types;
    }
    void setDirectoryURL(const std::optional<std::filesystem::path> &folder) override {
        directory = folder;
    }
    std::optional<std::filesystem::path> directoryURL() const override { return directory; }
    void setNameFieldStringValue(const std::string &name) override { nameField = name; }
    void beginSheetModalForWindow(Window &window, CompletionHandler completion) override {
        sheetWindow = &window;
        handler = std::move(completion);
    }
    std::optional<std::filesystem::path> URL() const override { return chosen; }

    // Ends the sheet: the user chose `file` (none: no file) and pressed OK or cancelled.
    void finish(int response, std::optional<std::filesystem::path> file) {
        chosen = std::move(file);
        auto completion = std::move(handler);
        handler = nullptr;
        completion(response);
    }
    bool isOpen() const { return static_cast<bool>(handler); }

    bool canChooseFiles = false;
    std::string prompt;
    std::vector<std::string> allowedFileTypes;
    std::optional<std::filesystem::path> directory;
    std::string nameField;
    Window *sheetWindow = nullptr;
    CompletionHandler handler;
    std::optional<std::filesystem::path> chosen;
};

// Hands out fresh fake panels and keeps them, newest last.
struct FakePanels {
    std::vector<std::shared_ptr<FakePanel>> made;

    OpenPanelFactory openPanels() {
        return [this] { return make(); };
    }
    SavePanelFactory savePanels() {
        return [this] { return make(); };
    }
    std::shared_ptr<FakePanel> make() {
        made.push_back(std::make_shared<FakePanel>());
        return made.back();
    }
};

} // namespace quintarvel::test
