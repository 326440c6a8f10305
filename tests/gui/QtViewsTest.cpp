#include "gui/LogTextView.h"

#include "GuiTestApplication.h"
#include "app/AppGlobals.h"
#include "gui/CheckBoxView.h"
#include "gui/FileDialogPanel.h"
#include "gui/WidgetWindow.h"
#include "platform/Dispatch.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QWidget>

#include <thread>

namespace quintarvel {
namespace {

TEST(LogTextView, LinesKeepTheirColoursAndControlTextFollowsThePalette) {
    QPlainTextEdit edit;
    LogTextView log(&edit);
    log.appendText("\nDone in 2 seconds\n", successColor());
    log.appendText("plain ünïcode\n", Color::controlText());
    log.appendText("Failed\n", errorColor());

    EXPECT_EQ(edit.toPlainText().toStdString(), "\nDone in 2 seconds\nplain ünïcode\nFailed\n");
    auto block = edit.document()->findBlockByNumber(1);
    EXPECT_EQ(block.text().toStdString(), "Done in 2 seconds");
    EXPECT_EQ(block.begin().fragment().charFormat().foreground().color(),
              QColor::fromRgbF(0, 0.6f, 0));
    block = block.next();
    EXPECT_FALSE(block.begin().fragment().charFormat().hasProperty(QTextFormat::ForegroundBrush));
    block = block.next();
    EXPECT_EQ(block.begin().fragment().charFormat().foreground().color(),
              QColor::fromRgbF(0.8f, 0, 0));
}

TEST(LogTextView, ScrollsToTheEndAndOutlivesItsWidget) {
    auto *edit = new QPlainTextEdit;
    edit->resize(200, 100);
    LogTextView log(edit);
    for (int i = 0; i < 200; ++i)
        log.appendText("line\n", Color::controlText());
    log.scrollToEndOfDocument();
    EXPECT_GT(edit->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(edit->verticalScrollBar()->value(), edit->verticalScrollBar()->maximum());
    delete edit;
    log.appendText("after the window went\n", Color::controlText()); // no crash
    log.scrollToEndOfDocument();
}

TEST(CheckBoxView, MapsTheThreeStatesAndReadsItsTitleWithoutMnemonic) {
    QCheckBox box("&Remove files");
    CheckBoxView view(&box);
    EXPECT_EQ(view.title(), "Remove files");
    view.setState(CheckBox::on);
    EXPECT_EQ(box.checkState(), Qt::Checked);
    view.setState(CheckBox::mixed);
    EXPECT_EQ(box.checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(view.state(), CheckBox::mixed);
    view.setState(CheckBox::off);
    EXPECT_EQ(view.state(), CheckBox::off);
}

TEST(FileDialogPanel, AnAcceptedOpenSheetHandsTheFileToItsHandlerOnce) {
    QWidget parent;
    WidgetWindow window(&parent);
    auto panel = std::make_shared<FileDialogPanel>(FileDialogPanel::Mode::open);
    panel->setCanChooseFiles(true);
    panel->setPrompt("Select image file");
    panel->setAllowedFileTypes({"fits", "png"});
    panel->setDirectoryURL("/tmp");
    EXPECT_EQ(panel->dialog()->nameFilters().join(";").toStdString(), "Images (*.fits *.png)");
    EXPECT_EQ(panel->directoryURL(), std::filesystem::path("/tmp"));

    int calls = 0, answer = -1;
    panel->beginSheetModalForWindow(window, [&](int response) {
        ++calls;
        answer = response;
    });
    EXPECT_EQ(panel->dialog()->parentWidget(), &parent);
    EXPECT_EQ(panel->dialog()->windowModality(), Qt::WindowModal);
    EXPECT_FALSE(panel->URL());
    panel->dialog()->reject();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(answer, modalResponseCancel);
    EXPECT_FALSE(panel->URL());
}

TEST(FileDialogPanel, ASaveSheetProposesItsNameAndTheFitsSuffix) {
    test::TempDir dir;
    QWidget parent;
    WidgetWindow window(&parent);
    auto panel = std::make_shared<FileDialogPanel>(FileDialogPanel::Mode::save);
    panel->setAllowedFileTypes({"fits"});
    panel->setNameFieldStringValue("M31_wcs");
    EXPECT_EQ(panel->dialog()->defaultSuffix().toStdString(), "fits");
    EXPECT_EQ(panel->dialog()->acceptMode(), QFileDialog::AcceptSave);

    std::optional<std::filesystem::path> chosen;
    panel->beginSheetModalForWindow(window, [&, raw = panel.get()](int response) {
        EXPECT_EQ(response, modalResponseOK);
        chosen = raw->URL();
    });
    panel->setDirectoryURL(dir.path());
    panel->dialog()->selectFile("M31_wcs.fits");
    static_cast<QDialog *>(panel->dialog())->accept(); // QFileDialog hides it
    ASSERT_TRUE(chosen);
    EXPECT_EQ(*chosen, dir / "M31_wcs.fits");
}

TEST(MainQueuePump, TheEventLoopRunsBlocksPostedFromOtherThreadsInOrder) {
    std::vector<int> ran;
    std::thread poster([&ran] {
        for (int i = 0; i < 100; ++i)
            mainQueue().async([&ran, i] { ran.push_back(i); });
    });
    poster.join();
    ASSERT_TRUE(test::runEventsUntil([&] { return ran.size() == 100; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ran[i], i);
}

} // namespace
} // namespace quintarvel
