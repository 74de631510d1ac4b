#include "scan/scan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <limits>
#include <memory>
#include <unordered_map>

#include "scan/candidates.h"
#include "scan/fs_queries.h"
#include "scan/dir_handle.h"
#include "scan/names.h"
#include "scan/walk.h"

namespace {

constexpr int64_t kGigabyte = 1'000'000'000;

// The mount directory's entries that can be volumes, in listing order:
// not hidden, and representable on the page.
std::vector<std::string> volumeNames(const std::string& mountDir) {
    std::vector<std::string> names;
    DirHandle dir(opendir(mountDir.c_str()));
    if (!dir) return names;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (isHiddenName(name) || !isValidUtf8(name)) continue;
        names.push_back(name);
    }
    return names;
}

// "yyMMdd HH:mm" in the local time zone.
std::string dateText(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    char text[32];
    if (!localtime_r(&t, &local) || std::strftime(text, sizeof text, "%y%m%d %H:%M", &local) == 0) return {};
    return text;
}

std::string_view lastComponent(const std::string& path) {
    return std::string_view(path).substr(path.rfind('/') + 1);
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The copy's record (".NAME.torvelin.json", written by the job once the copy
// was complete) vouches for a copy of exactly this size.
bool provenComplete(const std::string& folder, const std::string& name, int64_t size) {
    std::ifstream in(folder + "/." + name + ".torvelin.json", std::ios::binary);
    if (!in) return false;
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const Value record = Value::parse(text, nullptr, false);
    return record.is_object() && record.value("kind", "") == "copy" && record.value("complete", false) == true &&
           record.value("source_size", int64_t(-1)) == size;
}

Value rsvEntry(const std::string& path, const std::string& volumeRoot, const std::string& volume,
               std::unordered_map<std::string, std::vector<Candidate>>& folders, int64_t& largest) {
    // Through links, like the copy that will read it. A file that cannot be
    // read (or has vanished) is still listed, with size 0 and the present time.
    struct stat st {};
    const bool known = stat(path.c_str(), &st) == 0;
    const int64_t size = known ? static_cast<int64_t>(st.st_size) : 0;
    const Stamp modified = known ? Stamp{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)}
                                 : stampNow();
    largest = std::max(largest, size);

    // RSVs of one folder share its listing; each still gets its own order.
    const std::string folder = path.substr(0, path.rfind('/'));
    auto it = folders.find(folder);
    if (it == folders.end()) it = folders.emplace(folder, listCandidates(folder)).first;
    Value refs = Value::array();
    for (const Candidate& c : closestCandidates(it->second, modified)) refs.push_back(referenceEntry(c));

    std::string mtime = dateText(modified.seconds);
    if (mtime.empty()) mtime = dateText(stampNow().seconds);
    const bool workCopy = isInWorkFolder(std::string_view(path).substr(volumeRoot.size() + 1));
    const std::string name(lastComponent(path));
    // A work copy is whole only when its record says so; a name the page
    // cannot show as it is travels losslessly and is shown readably.
    const bool incomplete = isUnfinishedRsv(name) || (workCopy && !provenComplete(folder, name, size));
    return Value{{"path", pathText(path)}, {"name", readablePath(name)},
                 {"vol", volume},  {"size", size},
                 {"mtime", mtime}, {"refs", std::move(refs)},
                 {"work_copy", workCopy}, {"incomplete", incomplete}};
}

}  // namespace

VolumeQueries systemVolumeQueries() {
    return VolumeQueries{[](const std::string& root) { return access(root.c_str(), W_OK) == 0; },
                         [](const std::string& root) { return freeBytes(root); }};
}

Value scanRSV(const std::string& mountDirIn, const VolumeQueries& queries) {
    Value rsvs = Value::array();
    Value volumes = Value::array();

    if (mountDirIn.empty()) return Value{{"rsvs", std::move(rsvs)}, {"volumes", std::move(volumes)}, {"mount_dir", ""}};
    std::string mountDir = mountDirIn;
    while (mountDir.size() > 1 && mountDir.back() == '/') mountDir.pop_back();
    if (mountDir == "/") mountDir.clear();  // roots are then "/" + name
    const std::vector<std::string> names =
        isValidUtf8(mountDir) ? volumeNames(mountDir.empty() ? "/" : mountDir) : std::vector<std::string>{};

    // Discovery: every volume in listing order, each in walk order.
    int64_t largest = 0;
    std::unordered_map<std::string, std::vector<Candidate>> folders;
    std::vector<Value> found;
    std::set<std::string> cards;  // volumes holding a recording: never offered for the work
    for (const std::string& name : names) {
        const std::string root = mountDir + "/" + name;
        for (const std::string& path : findRsvFiles(root)) {
            found.push_back(rsvEntry(path, root, name, folders, largest));
            if (!found.back()["work_copy"].get<bool>()) cards.insert(name);
        }
    }
    // Newest first; the date text sorts like the date. Same minute: discovery order.
    std::stable_sort(found.begin(), found.end(), [](const Value& a, const Value& b) {
        return a["mtime"].get_ref<const std::string&>() > b["mtime"].get_ref<const std::string&>();
    });
    for (Value& v : found) rsvs.push_back(std::move(v));

    // Work volumes, judged against the largest RSV found on any volume.
    struct Volume {
        int64_t freeGb;
        Value entry;
    };
    std::vector<Volume> writable;
    for (const std::string& name : names) {
        const std::string root = mountDir + "/" + name;
        // Only a folder can take a work folder; a stray file here is no volume.
        if (cards.count(name) || !isDirectory(root) || !queries.writable(root)) continue;
        const int64_t free = std::max<int64_t>(queries.freeBytes(root), 0);
        const int64_t freeGb = free / kGigabyte;
        writable.push_back(Volume{freeGb, Value{{"id", name},
                                                {"root", root},
                                                {"free_gb", freeGb},
                                                {"free_bytes", free},
                                                {"enough", roomForRecovery(free, largest)}}});
    }
    std::stable_sort(writable.begin(), writable.end(),
                     [](const Volume& a, const Volume& b) { return a.freeGb > b.freeGb; });
    for (Volume& v : writable) volumes.push_back(std::move(v.entry));

    return Value{{"rsvs", std::move(rsvs)}, {"volumes", std::move(volumes)}, {"mount_dir", isValidUtf8(mountDirIn) ? mountDirIn : ""}};
}

Value scanRSV() { return scanRSV(mountDirectory(), systemVolumeQueries()); }
