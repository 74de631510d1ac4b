#include "scan/work_places.h"

#include <glib.h>
#include <sys/stat.h>

#include <mutex>

namespace {

std::mutex g_lock;
std::string g_chosen;

bool isFolder(const char* path) {
    struct stat st {};
    return path && *path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string videosFolder() {
    static const std::string folder = [] {
        const char* videos = g_get_user_special_dir(G_USER_DIRECTORY_VIDEOS);
        if (isFolder(videos)) return std::string(videos);
        const char* home = g_get_home_dir();
        return isFolder(home) ? std::string(home) : std::string();
    }();
    return folder;
}

void setChosenFolder(const std::string& folder) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_chosen = folder;
}

std::string chosenFolder() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_chosen;
}

WorkPlaces systemWorkPlaces() { return WorkPlaces{videosFolder(), chosenFolder()}; }
