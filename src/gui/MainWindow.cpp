#include "gui/MainWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quintarvel {

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent) {
    setWindowTitle(tr("Quintarvel"));
    resize(760, 520);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);

    logText_ = new QPlainTextEdit(central);
    logText_->setReadOnly(true);
    logText_->setUndoRedoEnabled(false);
    logText_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logText_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    logText_->setPlaceholderText(tr("Engine output and results appear here."));
    layout->addWidget(logText_, 1);

    auto *controls = new QHBoxLayout;
    removeFilesButton_ = new QCheckBox(tr("Move created files to the Trash"), central);
    removeFilesButton_->setToolTip(
        tr("After each solve, move the engine's working files to the Trash"));
    writeWCSHeadersButton_ = new QCheckBox(tr("Write WCS headers to a new FITS file"), central);
    writeWCSHeadersButton_->setToolTip(
        tr("Ask for an output file that receives a copy of the image with the solution"));
    abortButton_ = new QPushButton(tr("Abort"), central);
    abortButton_->setEnabled(false);
    solveButton_ = new QPushButton(tr("Solve…"), central);
    solveButton_->setDefault(true);
    controls->addWidget(removeFilesButton_);
    controls->addSpacing(12);
    controls->addWidget(writeWCSHeadersButton_);
    controls->addStretch(1);
    controls->addWidget(abortButton_);
    controls->addWidget(solveButton_);
    layout->addLayout(controls);
    setCentralWidget(central);

    auto *application = menuBar()->addMenu(tr("&Quintarvel"));
    productPageMenu_ = application->addAction(tr("Quintarvel &Web Page"));
    quintarvelNetMenu_ = application->addAction(tr("Quintarvel.net &Engine Web Site"));
    application->addSeparator();
    quitMenu_ = application->addAction(tr("&Quit"));
    quitMenu_->setShortcut(QKeySequence::Quit);

    auto *file = menuBar()->addMenu(tr("&File"));
    solveMenu_ = file->addAction(tr("&Solve…"));
    solveMenu_->setShortcut(QKeySequence::Open);
    abortMenu_ = file->addAction(tr("&Abort"));
    abortMenu_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
    abortMenu_->setEnabled(false);

    auto *window = menuBar()->addMenu(tr("&Window"));
    showMenu_ = window->addAction(tr("&Main Window"));
    indexManagerMenu_ = window->addAction(tr("&Index Manager…"));
}

} // namespace quintarvel
