#include "gui/FileDialogPanel.h"

#include "gui/WidgetWindow.h"

#include <QFile>
#include <QFileDialog>
#include <QStringList>

namespace quintarvel {

FileDialogPanel::FileDialogPanel(Mode mode) : mode_(mode), dialog_(new QFileDialog) {
    dialog_->setAcceptMode(mode == Mode::save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog_->setFileMode(mode == Mode::save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
}

FileDialogPanel::~FileDialogPanel() {
    if (dialog_)
        dialog_->deleteLater();
}

void FileDialogPanel::setCanChooseFiles(bool canChoose) {
    if (mode_ == Mode::open)
        dialog_->setFileMode(canChoose ? QFileDialog::ExistingFile : QFileDialog::Directory);
}

void FileDialogPanel::setPrompt(const std::string &prompt) {
    const auto text = QString::fromStdString(prompt);
    dialog_->setLabelText(QFileDialog::Accept, text);
    dialog_->setWindowTitle(text);
}

void FileDialogPanel::setAllowedFileTypes(const std::vector<std::string> &types) {
    QStringList patterns;
    for (const auto &type : types)
        patterns << QStringLiteral("*.") + QString::fromStdString(type);
    const auto label =
        mode_ == Mode::save ? QStringLiteral("FITS files") : QStringLiteral("Images");
    dialog_->setNameFilter(label + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                           QStringLiteral(")"));
    if (mode_ == Mode::save && !types.empty())
        dialog_->setDefaultSuffix(QString::fromStdString(types.front()));
}

void FileDialogPanel::setDirectoryURL(const std::optional<std::filesystem::path> &folder) {
    if (folder)
        dialog_->setDirectory(QFile::decodeName(folder->c_str()));
}

std::optional<std::filesystem::path> FileDialogPanel::directoryURL() const {
    if (!dialog_)
        return std::nullopt;
    return std::filesystem::path(
        QFile::encodeName(dialog_->directory().absolutePath()).toStdString());
}

void FileDialogPanel::setNameFieldStringValue(const std::string &name) {
    dialog_->selectFile(QFile::decodeName(name.c_str()));
}

void FileDialogPanel::beginSheetModalForWindow(Window &window, CompletionHandler handler) {
    handler_ = std::move(handler);
    if (auto *parent = dynamic_cast<WidgetWindow *>(&window); parent && parent->widget())
        dialog_->setParent(parent->widget(), dialog_->windowFlags());
    dialog_->setWindowModality(Qt::WindowModal);
    QObject::connect(dialog_, &QDialog::finished, dialog_, [this](int result) {
        chosen_.reset();
        const auto files = dialog_->selectedFiles();
        if (result == QDialog::Accepted && !files.isEmpty())
            chosen_ = std::filesystem::path(QFile::encodeName(files.front()).toStdString());
        // The handler may hold the last reference to this panel: nothing of it is used after.
        auto handler = std::move(handler_);
        handler_ = nullptr;
        if (handler)
            handler(result == QDialog::Accepted ? modalResponseOK : modalResponseCancel);
    });
    dialog_->open();
}

QFileDialog *FileDialogPanel::dialog() const {
    return dialog_;
}

std::optional<std::filesystem::path> FileDialogPanel::URL() const {
    return chosen_;
}

} // namespace quintarvel
