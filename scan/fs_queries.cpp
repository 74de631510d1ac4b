#include "scan/fs_queries.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <limits>

int64_t fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

int64_t freeBytes(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) return 0;
    // f_bavail leaves out the blocks reserved for root: what an ordinary user can still write.
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

int64_t spaceNeeded(int64_t rsvSize) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    if (rsvSize > (kMax - kSpaceMargin) / 2) return kMax;
    return 2 * rsvSize + kSpaceMargin;
}

bool roomForRecovery(int64_t freeBytes, int64_t rsvSize) { return freeBytes >= spaceNeeded(rsvSize); }

bool isInside(const std::string& path, const std::string& root) {
    if (root.empty()) return false;
    const std::string prefix = root.back() == '/' ? root : root + "/";
    return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

bool roomOnVolume(const std::string& rsvPath, int64_t rsvSize, const std::string& volRoot, int64_t free) {
    return isInside(rsvPath, volRoot) || roomForRecovery(free, rsvSize);
}
