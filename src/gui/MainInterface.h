#pragma once

#include "app/AppDelegate.h"
#include "app/IndexManagerDelegate.h"
#include "app/SolverDelegate.h"

#include <filesystem>
#include <memory>
#include <optional>

namespace quintarvel {

class IndexWindow;
class MainWindow;

// The application's interface: makes the three controllers and both windows, connects the
// controllers' outlets to the widgets and the widgets' actions to the controllers. Main thread
// only; make it after the QApplication and a MainQueuePump.
//
// Loading ends with the solver's awakeFromNib; the owner then calls launch() and, when the
// event loop ends, terminate().
class MainInterface {
  public:
    // What the application takes from the environment; tests give their own.
    struct Options {
        std::optional<SolverPaths> solverPaths;            // SolverPaths::standard()
        std::optional<std::filesystem::path> legacyFolder; // legacySupportURL()
        // The folder that holds the support folder, kept private: sharedContainerURL().
        std::optional<std::filesystem::path> containerFolder;
        IndexManagerDelegate::DownloadStarter startDownload = URLDownload::start;
        std::shared_ptr<UserDefaults> userDefaults; // UserDefaults::standard()
        OpenPanelFactory openPanels;                // Qt file dialogs on the main window
        SavePanelFactory savePanels;                // likewise
        SolverDelegate::ServiceOptions services;
    };

    MainInterface() : MainInterface(Options{}) {}
    explicit MainInterface(Options options);
    ~MainInterface();
    MainInterface(const MainInterface &) = delete;
    MainInterface &operator=(const MainInterface &) = delete;

    // applicationWillFinishLaunching, then applicationDidFinishLaunching.
    void launch();
    // applicationWillTerminate.
    void terminate();

    const std::shared_ptr<AppDelegate> &appDelegate() const { return appDelegate_; }
    const std::shared_ptr<SolverDelegate> &solver() const { return solver_; }
    const std::shared_ptr<IndexManagerDelegate> &indexManager() const { return indexManager_; }
    MainWindow &mainWindow() const { return *mainWindow_; }
    IndexWindow &indexWindow() const { return *indexWindow_; }

  private:
    void connectSolver(const Options &options);
    void connectIndexManager();
    void connectMenus();

    std::unique_ptr<MainWindow> mainWindow_;
    std::unique_ptr<IndexWindow> indexWindow_;
    std::shared_ptr<SolverDelegate> solver_;
    std::shared_ptr<IndexManagerDelegate> indexManager_;
    std::shared_ptr<AppDelegate> appDelegate_;
};

} // namespace quintarvel
