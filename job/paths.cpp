#include "job/paths.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

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

// Do the two files hold the same bytes over the first MiB they both have?
bool startsAlike(const std::string& a, const std::string& b) {
    constexpr size_t kProbe = 1 << 20;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::string ba(kProbe, '\0'), bb(kProbe, '\0');
    fa.read(&ba[0], kProbe);
    fb.read(&bb[0], kProbe);
    const size_t n = static_cast<size_t>(std::min(fa.gcount(), fb.gcount()));
    return ba.compare(0, n, bb, 0, n) == 0;
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

WorkPaths claimWorkPaths(const std::string& rsvPath, const std::string& volRoot) {
    // Cameras start their clip numbers again on every card, so a recording of
    // another card may already own this name in today's work folder: its copy,
    // or its recovered file after the user deleted the copy as advised. Those
    // may be the only copies left once that card is formatted, so this
    // recording takes the next free name instead of writing over them. A copy
    // that starts like this RSV is this recording's own earlier (full or
    // partial) copy and keeps the name.
    for (int variant = 1;; ++variant) {
        WorkPaths p = workPaths(rsvPath, volRoot, variant);
        std::error_code ec;
        const bool copyThere = std::filesystem::exists(p.copy, ec);
        if (copyThere ? startsAlike(p.copy, rsvPath) : !std::filesystem::exists(p.recovered, ec)) return p;
    }
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
