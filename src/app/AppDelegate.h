#pragma once

#include "app/IndexManagerDelegate.h"
#include "app/SolverDelegate.h"
#include "platform/ProcessInfo.h"

#include <filesystem>
#include <memory>
#include <optional>

namespace quintarvel {

// The application's delegate: start-up and termination. The main interface makes it, connects
// both outlets (both required) and calls the three application callbacks in their order, all
// on the main thread.
class AppDelegate {
  public:
    // The product's own page, the upload page its HTTP service serves on this machine, and
    // the plate-solving engine's web site.
    static constexpr const char *productPageURL = "http://localhost:8080/";
    static constexpr const char *quintarvelNetURL = "https://astrometry.net/";

    // `legacyFolder`: the older per-user folder emptied at launch, legacySupportURL unless a
    // test gives its own; `containerFolder`: the folder holding the solver's support folder,
    // kept private at launch, sharedContainerURL unless a test gives its own.
    explicit AppDelegate(std::optional<std::filesystem::path> legacyFolder = std::nullopt,
                         std::optional<std::filesystem::path> containerFolder = std::nullopt);

    // Outlets.
    std::shared_ptr<SolverDelegate> solver() const { return solver_; }
    void setSolver(std::shared_ptr<SolverDelegate> v) { solver_ = std::move(v); }
    std::shared_ptr<IndexManagerDelegate> indexManager() const { return indexManager_; }
    void setIndexManager(std::shared_ptr<IndexManagerDelegate> v) { indexManager_ = std::move(v); }

    // Where the services listen: port 8080 on every interface unless a test says otherwise.
    void setServiceOptions(SolverDelegate::ServiceOptions v) { serviceOptions_ = std::move(v); }

    // Menu actions; the sender is not read. Each opens its page in the user's browser.
    void openProductPage(const void *sender = nullptr);
    void openQuintarvelNet(const void *sender = nullptr);

    // Registers RawImageRep with the image machinery.
    void applicationWillFinishLaunching();
    // Makes the container private to the user (a new one 0700; an existing one open to group
    // or others is narrowed, with a line in the system log) and ends the process when it
    // cannot be: another user's container, or one whose mode cannot be narrowed. Then makes
    // the solver's support folder, moves the ".fits" files of the legacy folder into it
    // and deletes everything else there (hidden entries stay; the first failure stops that,
    // with "I/O failed " and the error in the system log), begins the process activity, lets
    // the index manager count the index files, restores the window and starts the services.
    void applicationDidFinishLaunching();
    // Removes the named pipes "request" and "response" and stops a running engine program,
    // which would otherwise go on alone.
    void applicationWillTerminate();

    // The process activity begun at launch, kept for the life of the process.
    const std::shared_ptr<ProcessInfo::Activity> &activity() const { return activity_; }

  private:
    const std::optional<std::filesystem::path> legacyFolder_;
    const std::optional<std::filesystem::path> containerFolder_;
    std::shared_ptr<SolverDelegate> solver_;
    std::shared_ptr<IndexManagerDelegate> indexManager_;
    SolverDelegate::ServiceOptions serviceOptions_;
    std::shared_ptr<ProcessInfo::Activity> activity_;
};

} // namespace quintarvel
