#include "gui/IndexWindow.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <string>

namespace quintarvel {
namespace {

QGroupBox *seriesBox(const QString &title, const std::vector<std::string> &names, int columns,
                     std::vector<QCheckBox *> &boxes, QWidget *parent) {
    auto *group = new QGroupBox(title, parent);
    auto *grid = new QGridLayout(group);
    // Column-major, so the scales run down each column, widest first.
    const int rows = (static_cast<int>(names.size()) + columns - 1) / columns;
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto *box = new QCheckBox(QString::fromStdString(names[i]), group);
        grid->addWidget(box, static_cast<int>(i) % rows, static_cast<int>(i) / rows);
        boxes.push_back(box);
    }
    return group;
}

} // namespace

IndexWindow::IndexWindow(const std::vector<std::string> &titles4100,
                         const std::vector<std::string> &titles4200, QWidget *parent)
    : QWidget(parent, Qt::Window) {
    setWindowTitle(tr("Quintarvel Index Manager"));

    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(tr("Tick the index files to keep or download; untick those to "
                                "move to the Trash. Then press Go."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto *series = new QHBoxLayout;
    series->addWidget(
        seriesBox(tr("4100 series (Tycho-2, wide fields)"), titles4100, 2, series4100_, this));
    series->addWidget(
        seriesBox(tr("4200 series (2MASS, narrow fields)"), titles4200, 3, series4200_, this));
    layout->addLayout(series);

    statusText_ = new QLabel(this);
    statusText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    queueIndicator_ = new QProgressBar(this);
    fileIndicator_ = new QProgressBar(this);
    for (auto *bar : {queueIndicator_, fileIndicator_}) {
        bar->setTextVisible(false);
        bar->setRange(0, 1);
        bar->setValue(0);
    }
    auto *progress = new QFormLayout;
    progress->addRow(tr("Status:"), statusText_);
    progress->addRow(tr("Files:"), queueIndicator_);
    progress->addRow(tr("Current file:"), fileIndicator_);
    layout->addLayout(progress);

    auto *buttons = new QHBoxLayout;
    readmeButton_ = new QPushButton(tr("About Index Files"), this);
    abortButton_ = new QPushButton(tr("Abort"), this);
    abortButton_->setEnabled(false);
    goButton_ = new QPushButton(tr("Go"), this);
    goButton_->setDefault(true);
    buttons->addWidget(readmeButton_);
    buttons->addStretch(1);
    buttons->addWidget(abortButton_);
    buttons->addWidget(goButton_);
    layout->addLayout(buttons);
}

} // namespace quintarvel
