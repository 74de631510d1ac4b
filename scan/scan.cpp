#include "scan/scan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <unordered_map>

#include "media/probe.h"
#include "scan/candidates.h"
#include "scan/clip_info.h"
#include "scan/dir_handle.h"
#include "scan/fs_queries.h"
#include "scan/names.h"
#include "scan/records.h"
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

std::string canonical(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// One RSV as found by the walk, before it becomes an entry.
struct Found {
    std::string path;
    std::string volume;  // the mount directory's entry it was found under
    bool workCopy = false;
    bool known = false;  // its attributes could be read
    int64_t size = 0;
    Stamp modified;
};

Found examine(const std::string& path, const std::string& volumeRoot, const std::string& volume) {
    // Through links, like the copy that will read it. A file that cannot be
    // read (or has vanished) is still listed, with size 0 and the present time.
    struct stat st {};
    Found f;
    f.path = path;
    f.volume = volume;
    f.workCopy = isInWorkFolder(std::string_view(path).substr(volumeRoot.size() + 1));
    f.known = stat(path.c_str(), &st) == 0;
    f.size = f.known ? static_cast<int64_t>(st.st_size) : 0;
    f.modified = f.known ? Stamp{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)}
                         : stampNow();
    return f;
}

// One offered work place with its free space.
struct Place {
    std::string path;
    int64_t free = 0;
    Value entry;
};

Value placeEntry(const std::string& id, const std::string& path, int64_t free, int64_t largest, const char* kind) {
    return Value{{"id", id},           {"root", path},           {"name", id},
                 {"path", path},       {"free_gb", free / kGigabyte}, {"free_bytes", free},
                 {"enough", roomForRecovery(free, largest)}, {"kind", kind}};
}

// What the scan learns once and every entry shares.
struct Shared {
    const VolumeQueries& queries;
    std::unordered_map<std::string, std::vector<Candidate>> folders;  // candidates by folder
    std::unordered_map<std::string, ClipInfo> probed;                 // candidate info by path
    std::vector<ResultRecord> results;
    std::vector<Place> places;
};

const ClipInfo& candidateInfo(Shared& s, const Candidate& c) {
    auto it = s.probed.find(c.path);
    if (it != s.probed.end()) return it->second;
    ClipInfo info;
    if (s.queries.describe) {
        const std::string ext = asciiLower(pathExtension(c.name));
        info = clipInfoFromProbe(s.queries.describe(c.path), ext == "mxf");
    }
    return s.probed.emplace(c.path, std::move(info)).first->second;
}

Value refsFor(Shared& s, const Found& f, const std::optional<ClipInfo>& info) {
    // RSVs of one folder share its listing; each still gets its own order.
    const std::string folder = f.path.substr(0, f.path.rfind('/'));
    auto it = s.folders.find(folder);
    if (it == s.folders.end()) it = s.folders.emplace(folder, listCandidates(folder)).first;
    Value refs = Value::array();
    for (const Candidate& c : closestCandidates(it->second, f.modified)) {
        Value ref = referenceEntry(c);
        const ClipInfo& ci = candidateInfo(s, c);
        if (!ci.empty()) ref["info"] = ci.toValue();
        if (info)
            if (const std::optional<bool> match = clipInfoMatch(*info, ci)) ref["match"] = *match;
        refs.push_back(std::move(ref));
    }
    return refs;
}

// The space verdict for every offered place, by the rule the admission uses.
void addSpaceVerdict(const Shared& s, const Found& f, Value& entry) {
    entry["need_bytes"] = spaceNeeded(f.size);
    entry["need_parts"] = Value{{"copy", f.size}, {"result", f.size}, {"margin", kSpaceMargin}};
    Value room = Value::object();
    for (const Place& p : s.places) room[p.path] = roomOnVolume(f.path, f.size, p.path, p.free);
    entry["room"] = std::move(room);
}

Value rsvEntry(Shared& s, const Found& f) {
    std::string mtime = dateText(f.modified.seconds);
    if (mtime.empty()) mtime = dateText(stampNow().seconds);
    const std::optional<ClipInfo> info = f.known ? rsvClipInfo(f.path) : std::nullopt;
    Value entry{{"path", f.path},   {"name", std::string(lastComponent(f.path))},
                {"vol", f.volume},  {"size", f.size},
                {"mtime", mtime},   {"refs", refsFor(s, f, info)},
                {"work_copy", f.workCopy}};
    if (info && !info->empty()) entry["info"] = info->toValue();

    // A card's RSV is its own source; a work copy names its source in its record.
    std::optional<SourceStamp> source;
    if (!f.workCopy && f.known)
        source = SourceStamp{f.size, f.modified.seconds * 1'000'000'000 + f.modified.nanoseconds, f.volume};
    else if (f.workCopy)
        source = copySource(f.path);
    Value results = Value::array();
    if (source) {
        entry["card_name"] = source->cardName;
        for (const ResultRecord& r : s.results)
            if (r.source == *source)
                results.push_back(Value{{"path", r.path}, {"name", r.name}, {"size", r.size}, {"partial", r.partial}});
    }
    entry["results"] = std::move(results);
    addSpaceVerdict(s, f, entry);
    return entry;
}

// The places that can take the work: writable folders that are no card,
// mounted volumes first (most free space first), then the videos folder and
// the chosen folder unless they lie on a card or repeat a place.
std::vector<Place> workPlaces(const std::string& mountDir, const std::vector<std::string>& names,
                              const std::vector<std::string>& cards, const WorkPlaces& extra,
                              const VolumeQueries& q, int64_t largest) {
    std::vector<Place> out;
    auto isCard = [&](const std::string& root) { return std::find(cards.begin(), cards.end(), root) != cards.end(); };
    for (const std::string& name : names) {
        const std::string root = mountDir + "/" + name;
        // Only a folder can take a work folder; a stray file here is no volume.
        if (isCard(root) || !isDirectory(root) || !q.writable(root)) continue;
        const int64_t free = std::max<int64_t>(q.freeBytes(root), 0);
        out.push_back(Place{root, free, placeEntry(name, root, free, largest, "removable")});
    }
    std::stable_sort(out.begin(), out.end(), [](const Place& a, const Place& b) {
        return a.free / kGigabyte > b.free / kGigabyte;
    });
    for (const auto& [path, kind] : {std::pair{extra.home, "home"}, std::pair{extra.chosen, "chosen"}}) {
        if (path.empty() || !isValidUtf8(path) || !isDirectory(path) || !q.writable(path)) continue;
        const std::string real = canonical(path);
        const bool onCard = std::any_of(cards.begin(), cards.end(), [&](const std::string& c) {
            const std::string card = canonical(c);
            return real == card || isInside(real, card);
        });
        const bool repeated = std::any_of(out.begin(), out.end(), [&](const Place& p) { return canonical(p.path) == real; });
        if (onCard || repeated) continue;
        const int64_t free = std::max<int64_t>(q.freeBytes(path), 0);
        const std::string name(lastComponent(path));
        out.push_back(Place{path, free, placeEntry(name.empty() ? path : name, path, free, largest, kind)});
    }
    return out;
}

}  // namespace

VolumeQueries systemVolumeQueries() {
    return VolumeQueries{[](const std::string& root) { return access(root.c_str(), W_OK) == 0; },
                         [](const std::string& root) { return freeBytes(root); },
                         [](const std::string& path) { return probe(path); }};
}

Value scanRSV(const std::string& mountDirIn, const VolumeQueries& queries, const WorkPlaces& extra) {
    std::string mountDir = mountDirIn;
    while (mountDir.size() > 1 && mountDir.back() == '/') mountDir.pop_back();
    if (mountDir == "/") mountDir.clear();  // roots are then "/" + name
    const std::vector<std::string> names = !mountDirIn.empty() && isValidUtf8(mountDir)
                                               ? volumeNames(mountDir.empty() ? "/" : mountDir)
                                               : std::vector<std::string>{};

    // Discovery: every volume in listing order, each in walk order. A volume
    // holding a recording (not one of our copies) is a card.
    int64_t largest = 0;
    std::vector<Found> found;
    std::vector<std::string> cards, recordPlaces;
    for (const std::string& name : names) {
        const std::string root = mountDir + "/" + name;
        recordPlaces.push_back(root);
        for (const std::string& path : findRsvFiles(root)) {
            found.push_back(examine(path, root, name));
            largest = std::max(largest, found.back().size);
            if (!found.back().workCopy && (cards.empty() || cards.back() != root)) cards.push_back(root);
        }
    }
    Shared shared{queries, {}, {}, {}, workPlaces(mountDir, names, cards, extra, queries, largest)};
    for (const std::string& place : {extra.home, extra.chosen})
        if (!place.empty()) recordPlaces.push_back(place);
    std::vector<std::string> read;  // one place reached by two paths is read once
    for (const std::string& place : recordPlaces) {
        const std::string real = canonical(place);
        if (std::find(read.begin(), read.end(), real) != read.end()) continue;
        read.push_back(real);
        for (ResultRecord& r : findResults(place)) shared.results.push_back(std::move(r));
    }

    std::vector<Value> entries;
    for (const Found& f : found) entries.push_back(rsvEntry(shared, f));
    // Newest first; the date text sorts like the date. Same minute: discovery order.
    std::stable_sort(entries.begin(), entries.end(), [](const Value& a, const Value& b) {
        return a["mtime"].get_ref<const std::string&>() > b["mtime"].get_ref<const std::string&>();
    });
    Value rsvs = Value::array(), volumes = Value::array();
    for (Value& v : entries) rsvs.push_back(std::move(v));
    for (Place& p : shared.places) volumes.push_back(std::move(p.entry));
    return Value{{"rsvs", std::move(rsvs)},
                 {"volumes", std::move(volumes)},
                 {"mount_dir", isValidUtf8(mountDirIn) ? mountDirIn : ""}};
}

Value scanRSV() { return scanRSV(mountDirectory(), systemVolumeQueries(), systemWorkPlaces()); }

Value chosenPlaceEntry(const std::string& folder) {
    if (folder.empty() || !isValidUtf8(folder) || !isDirectory(folder) || access(folder.c_str(), W_OK) != 0)
        return Value{{"error", "이 폴더에는 쓸 수 없습니다 — 다른 폴더를 고르세요"}};
    // A folder on a mounted volume that holds a recording is on a card.
    const std::string real = canonical(folder), mounts = canonical(mountDirectory());
    if (isInside(real, mounts)) {
        const std::string rest = real.substr(mounts.size() + 1);
        const std::string root = mounts + "/" + rest.substr(0, rest.find('/'));
        for (const std::string& path : findRsvFiles(root))
            if (!isInWorkFolder(std::string_view(path).substr(root.size() + 1)))
                return Value{{"error", "카드에는 복구본을 저장하지 않습니다 — 컴퓨터나 외장 디스크의 폴더를 고르세요"}};
    }
    const int64_t free = std::max<int64_t>(freeBytes(folder), 0);
    Value entry = placeEntry(std::string(lastComponent(folder)), folder, free, 0, "chosen");
    entry.erase("enough");
    return entry;
}
