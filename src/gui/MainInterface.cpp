#include "gui/MainInterface.h"

#include "app/AppGlobals.h"
#include "gui/ActionControl.h"
#include "gui/ButtonControl.h"
#include "gui/CheckBoxGroup.h"
#include "gui/CheckBoxView.h"
#include "gui/FileDialogPanel.h"
#include "gui/IndexWindow.h"
#include "gui/LabelField.h"
#include "gui/LevelBar.h"
#include "gui/LogTextView.h"
#include "gui/MainWindow.h"
#include "gui/WidgetWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>

#include <algorithm>
#include <functional>

namespace quintarvel {
namespace {

// The index window's check box titles: the keys of the index file table of one series,
// widest scale first (the descending order of the names).
std::vector<std::string> titlesOfSeries(const std::string &prefix) {
    std::vector<std::string> titles;
    for (const auto &[title, names] : indexFileTable())
        if (title.starts_with(prefix))
            titles.push_back(title);
    std::sort(titles.begin(), titles.end(), std::greater<>());
    return titles;
}

std::shared_ptr<CheckBoxGroup> groupOf(const std::vector<QCheckBox *> &boxes,
                                       const std::shared_ptr<IndexManagerDelegate> &manager) {
    std::vector<std::shared_ptr<TitledCheckBox>> views;
    for (auto *box : boxes) {
        auto view = std::make_shared<CheckBoxView>(box);
        // A click never leaves a box mixed.
        QObject::connect(box, &QCheckBox::clicked, box,
                         [manager, view = view.get()] { manager->skip2(*view); });
        views.push_back(std::move(view));
    }
    return std::make_shared<CheckBoxGroup>(std::move(views));
}

} // namespace

MainInterface::MainInterface(Options options)
    : mainWindow_(std::make_unique<MainWindow>()),
      indexWindow_(
          std::make_unique<IndexWindow>(titlesOfSeries("index-41"), titlesOfSeries("index-42"))) {
    const auto paths = options.solverPaths ? *options.solverPaths : SolverPaths::standard();
    solver_ = std::make_shared<SolverDelegate>(paths);
    indexManager_ = std::make_shared<IndexManagerDelegate>(
        paths.supportFolder, IndexManagerDelegate::defaultDirectory4100,
        IndexManagerDelegate::defaultDirectory4200, options.startDownload);
    appDelegate_ = std::make_shared<AppDelegate>(options.legacyFolder, options.containerFolder);
    appDelegate_->setSolver(solver_);
    appDelegate_->setIndexManager(indexManager_);
    appDelegate_->setServiceOptions(options.services);

    connectSolver(options);
    connectIndexManager();
    connectMenus();
    solver_->awakeFromNib();
}

MainInterface::~MainInterface() = default;

void MainInterface::connectSolver(const Options &options) {
    auto &window = *mainWindow_;
    auto mainWindow = std::make_shared<WidgetWindow>(&window);
    solver_->setWindow(mainWindow);
    solver_->setLogText(std::make_shared<LogTextView>(window.logText()));
    solver_->setSolveMenu(std::make_shared<ActionControl>(window.solveMenu()));
    solver_->setAbortMenu(std::make_shared<ActionControl>(window.abortMenu()));
    solver_->setSolveButton(std::make_shared<ButtonControl>(window.solveButton()));
    solver_->setAbortButton(std::make_shared<ButtonControl>(window.abortButton()));
    solver_->setRemoveFilesButton(std::make_shared<CheckBoxView>(window.removeFilesButton()));
    solver_->setWriteWCSHeadersButton(
        std::make_shared<CheckBoxView>(window.writeWCSHeadersButton()));
    if (options.userDefaults)
        solver_->setUserDefaults(options.userDefaults);
    solver_->setOpenPanelFactory(options.openPanels ? options.openPanels : [] {
        return std::make_shared<FileDialogPanel>(FileDialogPanel::Mode::open);
    });
    solver_->setSavePanelFactory(options.savePanels ? options.savePanels : [] {
        return std::make_shared<FileDialogPanel>(FileDialogPanel::Mode::save);
    });

    const auto solver = solver_;
    QObject::connect(window.solveButton(), &QPushButton::clicked, &window,
                     [solver] { solver->solve(); });
    QObject::connect(window.solveMenu(), &QAction::triggered, &window,
                     [solver] { solver->solve(); });
    QObject::connect(window.abortButton(), &QPushButton::clicked, &window,
                     [solver] { solver->abort(); });
    QObject::connect(window.abortMenu(), &QAction::triggered, &window,
                     [solver] { solver->abort(); });
    for (auto *box : {window.removeFilesButton(), window.writeWCSHeadersButton()})
        QObject::connect(box, &QCheckBox::clicked, &window, [solver] { solver->saveState(); });
    QObject::connect(window.showMenu(), &QAction::triggered, &window, [solver] { solver->show(); });
}

void MainInterface::connectIndexManager() {
    auto &window = *indexWindow_;
    const auto manager = indexManager_;
    manager->setWindow(std::make_shared<WidgetWindow>(&window));
    manager->setSeries4100(groupOf(window.series4100(), manager));
    manager->setSeries4200(groupOf(window.series4200(), manager));
    manager->setGoButton(std::make_shared<ButtonControl>(window.goButton()));
    manager->setAbortButton(std::make_shared<ButtonControl>(window.abortButton()));
    manager->setQueueIndicator(std::make_shared<LevelBar>(window.queueIndicator()));
    manager->setFileIndicator(std::make_shared<LevelBar>(window.fileIndicator()));
    manager->setStatusText(std::make_shared<LabelField>(window.statusText()));

    QObject::connect(window.goButton(), &QPushButton::clicked, &window,
                     [manager] { manager->go(); });
    QObject::connect(window.abortButton(), &QPushButton::clicked, &window,
                     [manager] { manager->abort(); });
    QObject::connect(window.readmeButton(), &QPushButton::clicked, &window,
                     [manager] { manager->readme(); });
}

void MainInterface::connectMenus() {
    auto &window = *mainWindow_;
    const auto manager = indexManager_;
    const auto app = appDelegate_;
    QObject::connect(window.indexManagerMenu(), &QAction::triggered, &window,
                     [manager] { manager->show(); });
    QObject::connect(window.productPageMenu(), &QAction::triggered, &window,
                     [app] { app->openProductPage(); });
    QObject::connect(window.quintarvelNetMenu(), &QAction::triggered, &window,
                     [app] { app->openQuintarvelNet(); });
    QObject::connect(window.quitMenu(), &QAction::triggered, &window,
                     [] { QCoreApplication::quit(); });
}

void MainInterface::launch() {
    appDelegate_->applicationWillFinishLaunching();
    appDelegate_->applicationDidFinishLaunching();
}

void MainInterface::terminate() {
    appDelegate_->applicationWillTerminate();
}

} // namespace quintarvel
