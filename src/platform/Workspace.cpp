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

} // namespace

std::size_t recycle(const std::vector<std::filesystem::path> &paths) {
    std::size_t moved = 0;
    for (const auto &path : paths) {
        std::unique_ptr<GFile, ObjectUnref> file(g_file_new_for_path(path.c_str()));
        GError *error = nullptr;
        if (g_file_trash(file.get(), nullptr, &error)) {
            ++moved;
            continue;
        }
        // A path with no file is not worth a word.
        if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND))
            systemLog("Cannot move " + path.string() + " to the Trash: " + error->message);
        g_error_free(error);
    }
    return moved;
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
