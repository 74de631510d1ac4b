#include "scan/candidates.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "scan/dir_handle.h"
#include "scan/names.h"
#include "scan/records.h"

std::vector<std::string> videoExts;

namespace {

bool isReferenceName(std::string_view name) {
    const std::string_view ext = pathExtension(name);
    if (ext.empty()) return false;
    const std::string lower = asciiLower(ext);
    if (std::find(videoExts.begin(), videoExts.end(), lower) == videoExts.end()) return false;
    return !isRecoveredStem(pathStem(name));
}

// Exact distance in nanoseconds; 128 bits so no pair of dates can overflow it.
__int128 distance(Stamp a, Stamp b) {
    const __int128 d = (static_cast<__int128>(a.seconds) - b.seconds) * 1'000'000'000 +
                       (static_cast<__int128>(a.nanoseconds) - b.nanoseconds);
    return d < 0 ? -d : d;
}

}  // namespace

Stamp stampNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return Stamp{static_cast<int64_t>(ts.tv_sec), static_cast<int64_t>(ts.tv_nsec)};
}

std::vector<Candidate> listCandidates(const std::string& folder) {
    std::vector<Candidate> out;
    DirHandle dir(opendir(folder.c_str()));
    if (!dir) return out;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name(entry->d_name, std::strlen(entry->d_name));
        // Our own results and copies are never a reference: by name, and by
        // the record a recovery leaves beside each of them.
        if (!isReferenceName(name) || hasRecordBeside(dirfd(dir.get()), entry->d_name)) continue;
        // Through links: the size that counts is the one a copy would read.
        struct stat st {};
        if (fstatat(dirfd(dir.get()), entry->d_name, &st, 0) != 0) continue;
        if (static_cast<int64_t>(st.st_size) <= kMinReferenceSize) continue;
        if (!isValidUtf8(name)) continue;
        Candidate c;
        c.name = std::string(name);
        c.path = folder + "/" + c.name;
        c.size = static_cast<int64_t>(st.st_size);
        c.modified = Stamp{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<Candidate> closestCandidates(const std::vector<Candidate>& candidates, Stamp rsvTime, size_t limit) {
    std::vector<Candidate> sorted = candidates;
    std::stable_sort(sorted.begin(), sorted.end(), [&](const Candidate& a, const Candidate& b) {
        return distance(a.modified, rsvTime) < distance(b.modified, rsvTime);
    });
    if (sorted.size() > limit) sorted.resize(limit);
    return sorted;
}

Value referenceEntry(const Candidate& candidate) {
    return Value{{"path", candidate.path}, {"name", candidate.name}, {"size", candidate.size}};
}
