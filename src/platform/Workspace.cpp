#include "platform/Workspace.h"

#include "platform/SystemLog.h"

#include <gio/gio.h>

#include <memory>
#include <string>

namespace quintarvel::workspace {
namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

enum class TrashOutcome { moved, missing, refused };

// Moves one file to the Trash; `reason` receives the Trash's words for a refusal.
TrashOutcome trash(const std::filesystem::path &path, std::string &reason) {
    std::unique_ptr<GFile, ObjectUnref> file(g_file_new_for_path(path.c_str()));
    GError *error = nullptr;
    if (g_file_trash(file.get(), nullptr, &error))
        return TrashOutcome::moved;
    const bool missing = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND);
    reason = error->message;
    g_error_free(error);
    return missing ? TrashOutcome::missing : TrashOutcome::refused;
}

} // namespace

std::size_t recycle(const std::vector<std::filesystem::path> &paths) {
    std::size_t moved = 0;
    for (const auto &path : paths) {
        std::string reason;
        switch (trash(path, reason)) {
        case TrashOutcome::moved:
            ++moved;
            break;
        case TrashOutcome::missing: // a path with no file is not worth a word
            break;
        case TrashOutcome::refused:
            systemLog("Cannot move " + path.string() + " to the Trash: " + reason);
            break;
        }
    }
    return moved;
}

std::optional<std::string> recycleOrDelete(const std::vector<std::filesystem::path> &paths) {
    std::optional<std::string> deletedBecause;
    for (const auto &path : paths) {
        std::string reason;
        if (trash(path, reason) != TrashOutcome::refused)
            continue;
        std::error_code error;
        if (std::filesystem::remove(path, error)) {
            if (!deletedBecause)
                deletedBecause = reason;
        } else if (error) {
            systemLog("Cannot move " + path.string() + " to the Trash: " + reason +
                      "; cannot delete it: " + error.message());
        }
    }
    return deletedBecause;
}

bool openURL(const std::string &url) {
    GError *error = nullptr;
    if (g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error))
        return true;
    systemLog("Cannot open " + url + ": " + (error ? error->message : "no handler"));
    if (error)
        g_error_free(error);
    return false;
}

} // namespace quintarvel::workspace
