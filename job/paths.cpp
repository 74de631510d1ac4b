#include "job/paths.h"

#include <sys/stat.h>

#include <cstdio>

#include "scan/scan.h"

namespace {

// The most any job or the engine adds to a name: a record's lead and tail
// with a temporary suffix (".NAME.torvelin.json.partial"), which is also
// more than the engine's own ".partial.partial-1000".
constexpr size_t kLongestAddition = 1 + 22 + 8;
constexpr size_t kVariantRoom = 6;   // "_10000"
constexpr size_t kResultRoom = 16;   // "_fixed_10000.MP4"
constexpr size_t kHashRoom = 9;      // "~" and 8 hex digits

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

std::string shortened(const std::string& stem, size_t room) {
    if (stem.size() <= room) return stem;
    uint32_t h = 2166136261u;
    for (unsigned char c : stem) h = (h ^ c) * 16777619u;
    size_t keep = room > kHashRoom ? room - kHashRoom : 0;
    while (keep > 0 && continuation(static_cast<unsigned char>(stem[keep]))) --keep;  // whole characters only
    char tail[16];
    std::snprintf(tail, sizeof tail, "~%08x", h);
    return stem.substr(0, keep) + tail;
}

}  // namespace

std::string fileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string extensionOf(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

std::string workStem(const std::string& rsvName, const std::string& card) {
    const std::string stem = rsvName.substr(0, rsvName.size() - extensionOf(rsvName).size());
    return card.empty() ? stem : card + "_" + stem;
}

WorkNames workNames(const std::string& stemIn, const std::string& ext, int variant, int resultN, long nameMax) {
    const size_t limit = nameMax > 0 ? size_t(nameMax) : 255;
    const size_t tail = kLongestAddition + kVariantRoom + std::max(kResultRoom, ext.size());
    const std::string stem = shortened(stemIn, limit > tail ? limit - tail : 1);
    const std::string base = variant > 1 ? stem + "_" + std::to_string(variant) : stem;
    WorkNames names;
    names.copy = base + ext;
    names.result = base + "_fixed" + (resultN > 1 ? "_" + std::to_string(resultN) : std::string()) + ".MP4";
    return names;
}

std::string cardNameOf(const std::string& rsvPath) {
    std::string mount = mountDirectory();
    while (mount.size() > 1 && mount.back() == '/') mount.pop_back();
    if (mount.empty() || rsvPath.size() <= mount.size() + 1 || rsvPath.compare(0, mount.size(), mount) != 0 ||
        rsvPath[mount.size()] != '/')
        return {};
    const std::string rest = rsvPath.substr(mount.size() + 1);
    const auto slash = rest.find('/');
    return slash == std::string::npos ? std::string() : rest.substr(0, slash);
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
