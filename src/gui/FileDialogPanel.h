#pragma once

#include "platform/OpenPanel.h"

#include <QPointer>

class QFileDialog;

namespace quintarvel {

// The open and save panels over Qt's file dialog, shown window-modal on their window.
class FileDialogPanel : public OpenPanel {
  public:
    enum class Mode { open, save };

    explicit FileDialogPanel(Mode mode);
    // The dialog goes later: the panel may be let go of while the dialog reports its end.
    ~FileDialogPanel() override;

    void setCanChooseFiles(bool canChoose) override;
    void setPrompt(const std::string &prompt) override;
    void setAllowedFileTypes(const std::vector<std::string> &types) override;
    void setDirectoryURL(const std::optional<std::filesystem::path> &folder) override;
    std::optional<std::filesystem::path> directoryURL() const override;
    void setNameFieldStringValue(const std::string &name) override;
    void beginSheetModalForWindow(Window &window, CompletionHandler handler) override;
    std::optional<std::filesystem::path> URL() const override;

    QFileDialog *dialog() const;

  private:
    Mode mode_;
    QPointer<QFileDialog> dialog_;
    CompletionHandler handler_;
    std::optional<std::filesystem::path> chosen_;
};

} // namespace quintarvel
