#include "job/work_claim.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>

#include "job/failure_text.h"
#include "job/job_error.h"
#include "scan/fs_queries.h"

namespace {

const char kLinkedFolder[] = "작업 폴더가 링크입니다 — 링크를 치우거나 다른 작업 볼륨을 고르세요";
const char kLinkInFolder[] = "작업 폴더에 링크가 있어 쓰지 않았습니다 — 작업 폴더를 확인하세요: ";
constexpr int kMaxVariants = 10000;

// Names held by the jobs of this run; a name stays held until its job ends.
std::mutex claimLock;
std::set<std::string> claimed;

// Do the two files hold the same bytes over their first MiB?
bool startsAlike(const std::string& a, const std::string& b) {
    constexpr size_t kProbe = 1 << 20;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::string ba(kProbe, '\0'), bb(kProbe, '\0');
    fa.read(&ba[0], kProbe);
    fb.read(&bb[0], kProbe);
    return fa.gcount() == fb.gcount() && ba.compare(0, size_t(fa.gcount()), bb, 0, size_t(fb.gcount())) == 0;
}

enum class Slot { Free, Taken, Link };

Slot slot(const std::string& path) {
    if (claimed.count(path)) return Slot::Taken;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? Slot::Free : Slot::Taken;
    return S_ISLNK(st.st_mode) ? Slot::Link : Slot::Taken;
}

void refuseLink(const std::string& path) { throw JobError("paths", 2, kLinkInFolder + path); }

std::string stemOfRecovered(const WorkPaths& p) {
    const std::string suffix = "_fixed.MP4";
    return p.recovered.substr(0, p.recovered.size() - suffix.size());
}

}  // namespace

std::string recoveredName(const WorkPaths& paths, int n) {
    return n <= 1 ? paths.recovered : stemOfRecovered(paths) + "_fixed_" + std::to_string(n) + ".MP4";
}

WorkClaim::WorkClaim(const std::string& rsvPath, const std::string& volRoot, bool inPlace) : inPlace_(inPlace) {
    paths_ = workPaths(rsvPath, volRoot);
    std::error_code ec;
    std::filesystem::create_directories(paths_.folder, ec);
    if (ec) throw JobError("system", ec.value(), systemFailureMessage(ec.value()));
    struct stat st {};
    if (::lstat(paths_.folder.c_str(), &st) != 0) throw JobError::system(errno);
    if (S_ISLNK(st.st_mode)) throw JobError("paths", 1, kLinkedFolder);

    std::lock_guard<std::mutex> hold(claimLock);
    if (!inPlace_) {
        const int64_t size = fileSize(rsvPath);
        for (int variant = 1;; ++variant) {
            if (variant > kMaxVariants) throw JobError::system(EEXIST);
            WorkPaths p = workPaths(rsvPath, volRoot, variant);
            const Slot copy = slot(p.copy);
            if (copy == Slot::Link) refuseLink(p.copy);
            if (copy == Slot::Free) {
                // A recovered file whose copy the user deleted belongs to
                // another recording as likely as to this one: leave the name.
                if (slot(p.recovered) != Slot::Free) continue;
                paths_ = p;
                break;
            }
            if (!claimed.count(p.copy) && size > 0 && fileSize(p.copy) == size && startsAlike(p.copy, rsvPath)) {
                paths_ = p;
                reusesCopy_ = true;
                break;
            }
        }
    }
    const WorkPaths first = paths_;
    for (int n = 1;; ++n) {
        if (n > kMaxVariants) throw JobError::system(EEXIST);
        const std::string name = recoveredName(first, n);
        const Slot out = slot(name);
        if (out == Slot::Link) refuseLink(name);
        if (out != Slot::Free) continue;
        paths_.recovered = name;
        besideEarlier_ = n > 1;
        break;
    }
    if (!inPlace_) claimed.insert(paths_.copy);
    claimed.insert(paths_.recovered);
}

WorkClaim::~WorkClaim() {
    std::lock_guard<std::mutex> hold(claimLock);
    if (!inPlace_) claimed.erase(paths_.copy);
    claimed.erase(paths_.recovered);
}
