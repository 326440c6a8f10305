#include "app/AppDelegate.h"

#include "app/AppGlobals.h"
#include "app/RawImageRep.h"
#include "platform/ImageRepClass.h"
#include "platform/Process.h"
#include "platform/SystemLog.h"
#include "platform/Workspace.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace quintarvel {
namespace {

namespace fs = std::filesystem;

// Moves one entry, never over an existing one; across file systems by copying it first.
void moveItem(const fs::path &from, const fs::path &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return;
    const std::error_code error(errno, std::generic_category());
    if (error.value() != EXDEV)
        throw fs::filesystem_error("cannot move", from, to, error);
    if (fs::exists(fs::symlink_status(to)))
        throw fs::filesystem_error("cannot move", from, to,
                                   std::make_error_code(std::errc::file_exists));
    try {
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    } catch (const fs::filesystem_error &) {
        std::error_code ignored;
        fs::remove_all(to, ignored); // no half copy stays behind
        throw;
    }
    fs::remove_all(from);
}

// Empties `legacy` into `shared`: ".fits" entries are moved, everything else deleted, hidden
// entries left alone. A folder that cannot be listed is no error; the first failed move or
// deletion throws and leaves the remaining entries where they are.
void emptyLegacyFolder(const fs::path &legacy, const fs::path &shared) {
    std::error_code listing;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(legacy, listing), end; !listing && it != end;
         it.increment(listing)) {
        if (!it->path().filename().string().starts_with("."))
            entries.push_back(it->path());
    }
    if (listing)
        return;
    for (const auto &entry : entries) {
        const auto name = entry.filename();
        if (name.string().ends_with(".fits"))
            moveItem(entry, shared / name);
        else
            fs::remove_all(entry);
    }
}

} // namespace

AppDelegate::AppDelegate(std::optional<std::filesystem::path> legacyFolder)
    : legacyFolder_(std::move(legacyFolder)) {}

void AppDelegate::openProductPage(const void *) {
    workspace::openURL(productPageURL);
}

void AppDelegate::openQuintarvelNet(const void *) {
    workspace::openURL(quintarvelNetURL);
}

void AppDelegate::applicationWillFinishLaunching() {
    registerImageRepClass(RawImageRep::imageRepClass());
}

void AppDelegate::applicationDidFinishLaunching() {
    const auto &shared = solver_->paths().supportFolder;
    try {
        fs::create_directories(shared);
        emptyLegacyFolder(legacyFolder_ ? *legacyFolder_ : legacySupportURL(), shared);
    } catch (const fs::filesystem_error &error) {
        systemLog(std::string("I/O failed ") + error.what());
    }
    activity_ =
        ProcessInfo().beginActivityWithOptions(ProcessInfo::activityBackground, "Good Reason");
    indexManager_->checkIndexesAtLaunch();
    solver_->restoreState();
    solver_->startServices(serviceOptions_);
}

void AppDelegate::applicationWillTerminate() {
    const auto &shared = solver_->paths().supportFolder;
    ::unlink((shared / "request").c_str());
    ::unlink((shared / "response").c_str());
    if (auto running = solver_->task())
        running->terminate();
}

} // namespace quintarvel
