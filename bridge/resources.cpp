#include "bridge/resources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace {

std::string g_dir;

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

std::string defaultDir() {
    const std::string exe = executableDir();
    for (const std::string& candidate :
         {exe + "/../resources", exe + "/../share/torvelin-recovery", exe + "/resources"}) {
        if (exists(candidate)) return candidate;
    }
    return exe + "/../resources";
}

}  // namespace

void setResourcesDir(const std::string& dir) { g_dir = dir; }

std::string resourcesDir() {
    if (g_dir.empty()) g_dir = defaultDir();
    return g_dir;
}

std::optional<std::string> resourcePath(const std::string& relative) {
    std::string path = resourcesDir() + "/" + relative;
    if (!exists(path)) return std::nullopt;
    return path;
}
