#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "scan/scan.h"

namespace {

std::mutex g_mountLock;
std::string g_mountDir;

std::string accountName() {
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result) return {};
    return result->pw_name ? result->pw_name : "";
}

// A user name that can stand as one path component.
bool usableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void setMountDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_mountLock);
    g_mountDir = dir;
}

std::string mountDirectory() {
    std::lock_guard<std::mutex> lock(g_mountLock);
    return g_mountDir;
}

std::string defaultMountDirectory() {
    std::string user;
    if (const char* env = std::getenv("USER")) user = env;
    if (!usableName(user)) user = accountName();
    if (!usableName(user)) return "/media";
    const std::string udisks = "/run/media/" + user;
    if (isDirectory(udisks)) return udisks;
    return "/media/" + user;
}
