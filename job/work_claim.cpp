#include "job/work_claim.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "job/failure_text.h"
#include "job/job_error.h"

namespace {

constexpr int kMaxVariants = 10000;

// Names held by the jobs of this run ("device:inode/" of the folder + name);
// a name stays held until its job ends.
std::mutex claimLock;
std::set<std::string> claimed;

bool startsWith(const std::string& s, const std::string& lead) { return s.compare(0, lead.size(), lead) == 0; }

// Is anything in the folder called `name`, or by a name made from it (its
// record, its unfinished files)?
bool taken(const std::set<std::string>& present, const std::string& name) {
    for (const std::string& lead : {name, "." + name})
        for (auto it = present.lower_bound(lead); it != present.end() && startsWith(*it, lead); ++it)
            if (*it == lead || (*it)[lead.size()] == '.') return true;
    return false;
}

void refuseLink(const WorkFolder& folder, const std::string& name) {
    const std::optional<struct stat> st = folder.look(name);
    if (st && S_ISLNK(st->st_mode)) throw JobError("paths", 2, failure::kLinkInFolder + folder.shown(name));
}

}  // namespace

WorkClaim::WorkClaim(const WorkFolder& folder, const std::string& stem, const std::string& ext, bool inPlace,
                     const std::optional<SourceFacts>& source)
    : inPlace_(inPlace) {
    struct stat self {};
    if (::fstat(folder.fd(), &self) != 0) throw JobError::system(errno);
    folderKey_ = std::to_string(self.st_dev) + ":" + std::to_string(self.st_ino) + "/";
    const long nameMax = folder.nameMax();

    std::lock_guard<std::mutex> hold(claimLock);
    const std::set<std::string> present = folder.names();
    auto free = [&](const std::string& name) { return !claimed.count(key(name)) && !taken(present, name); };

    int variant = 1;
    if (!inPlace_) {
        for (;; ++variant) {
            if (variant > kMaxVariants) throw JobError::system(EEXIST);
            const WorkNames n = workNames(stem, ext, variant, 1, nameMax);
            refuseLink(folder, n.copy);
            if (free(n.copy)) break;
            // An earlier copy is this very recording only when its record says
            // so and it is whole; a half copy or another card's clip of the
            // same name is never taken for it.
            const std::optional<struct stat> st = folder.look(n.copy);
            const std::optional<std::string> record = folder.readSmall(recordName(n.copy));
            if (source && !claimed.count(key(n.copy)) && st && S_ISREG(st->st_mode) && st->st_size == source->size &&
                record && provesCopyOf(*record, *source)) {
                reusesCopy_ = true;
                break;
            }
        }
    }
    for (int n = 1;; ++n) {
        if (n > kMaxVariants) throw JobError::system(EEXIST);
        const WorkNames candidate = workNames(stem, ext, variant, n, nameMax);
        refuseLink(folder, candidate.result);
        if (!free(candidate.result)) continue;
        names_ = candidate;
        besideEarlier_ = n > 1;
        break;
    }
    if (!inPlace_) claimed.insert(key(names_.copy));
    claimed.insert(key(names_.result));
}

WorkClaim::~WorkClaim() {
    std::lock_guard<std::mutex> hold(claimLock);
    if (!inPlace_) claimed.erase(key(names_.copy));
    claimed.erase(key(names_.result));
}
