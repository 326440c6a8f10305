#include "app/AppDelegate.h"

#include "app/AppGlobals.h"
#include "app/RawImageRep.h"
#include "platform/Folders.h"
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

std::string modeText(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

// The pipes in the support folder are open to anyone who can reach them, so the container is
// what keeps other users out: nothing may be made in it unless it is private. A container
// that cannot be made at all throws, and start-up goes on without a support folder.
void makeContainerPrivate(const fs::path &container) {
    using State = folders::FolderPrivacy::State;
    const auto privacy = folders::makePrivate(container);
    const std::string named = std::string("The container folder ") + container.string() +
                              " of the application group " + applicationGroup;
    switch (privacy.state) {
    case State::made:
    case State::kept:
        return;
    case State::narrowed:
        systemLog(named + " was open to other users (mode " + modeText(privacy.oldMode) +
                  "): narrowed to " + modeText(privacy.mode));
        return;
    case State::notOurs:
        fatalError(named + " belongs to another user");
    case State::stillOpen:
        fatalError(named + " is open to other users (mode " + modeText(privacy.oldMode) +
                   ") and cannot be made private: " + privacy.error.message());
    }
}

} // namespace

AppDelegate::AppDelegate(std::optional<std::filesystem::path> legacyFolder,
                         std::optional<std::filesystem::path> containerFolder)
    : legacyFolder_(std::move(legacyFolder)), containerFolder_(std::move(containerFolder)) {}

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
        makeContainerPrivate(containerFolder_ ? *containerFolder_ : sharedContainerURL());
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
