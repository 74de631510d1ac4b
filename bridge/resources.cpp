#include "bridge/resources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#ifndef TORVELIN_DATA_SUBDIR
#error "TORVELIN_DATA_SUBDIR must name the installed data folder under the prefix"
#endif
#ifndef TORVELIN_ENGINE_SUBDIR
#error "TORVELIN_ENGINE_SUBDIR must name the installed engine folder under the prefix"
#endif

namespace {

std::optional<ResourceFolders> g_folders;

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string executableDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

const ResourceFolders& folders() {
    if (!g_folders) g_folders = resourceFoldersFor(executableDir());
    return *g_folders;
}

}  // namespace

ResourceFolders resourceFoldersFor(const std::string& exeDir) {
    const std::string build = exeDir + "/../resources";
    if (exists(build)) return {build, build};
    const std::string data = exeDir + "/../" TORVELIN_DATA_SUBDIR;
    if (exists(data)) return {data, exeDir + "/../" TORVELIN_ENGINE_SUBDIR};
    const std::string beside = exeDir + "/resources";
    if (exists(beside)) return {beside, beside};
    return {build, build};
}

void setResourcesDir(const std::string& dir) { setResourceFolders({dir, dir}); }

void setResourceFolders(const ResourceFolders& folders) { g_folders = folders; }

std::string resourcesDir() { return folders().data; }

std::optional<std::string> resourcePath(const std::string& relative) {
    const ResourceFolders& f = folders();
    for (const std::string* dir : {&f.engine, &f.data}) {
        std::string path = *dir + "/" + relative;
        if (exists(path)) return path;
    }
    return std::nullopt;
}
