#include "job/paths.h"

#include <sys/stat.h>

#include <ctime>

namespace {

std::string fileName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string withoutExtension(const std::string& name) {
    auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string localDate() {
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%y%m%d", &tm);
    return buf;
}

}  // namespace

WorkPaths workPaths(const std::string& rsvPath, const std::string& volRoot, int variant) {
    WorkPaths p;
    p.folder = volRoot + "/RSV복구_" + localDate();
    std::string name = fileName(rsvPath);
    if (variant > 1) {
        const std::string stem = withoutExtension(name);
        name = stem + "_" + std::to_string(variant) + name.substr(stem.size());
    }
    p.copy = p.folder + "/" + name;
    p.recovered = p.folder + "/" + withoutExtension(name) + "_fixed.MP4";
    return p;
}

std::string fileIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return path;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
