#include "app/partials.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "bridge/queues.h"
#include "job/job.h"

namespace {

const char kUnknownJob[] = "이 작업을 찾을 수 없습니다 — 목록을 새로 고쳐 보세요";
const char kStillRunning[] = "복구가 끝난 뒤에 지울 수 있습니다";
constexpr int64_t kClockSlackNs = 2'000'000'000;

bool isPartialOf(const std::string& name, const std::string& made) {
    const std::string stem = made + ".partial";
    if (name == stem) return true;
    if (name.size() <= stem.size() + 1 || name.compare(0, stem.size() + 1, stem + "-") != 0) return false;
    return std::all_of(name.begin() + long(stem.size() + 1), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

int64_t removePartials(const std::string& folder, const std::vector<std::string>& made,
                       std::chrono::system_clock::time_point notBefore) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(notBefore.time_since_epoch()).count();
    std::vector<std::string> doomed;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (std::none_of(made.begin(), made.end(), [&](const std::string& m) { return !m.empty() && isPartialOf(name, m); }))
            continue;
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        const int64_t modified = int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        // File times come from a coarser clock than the admission's: a little slack.
        if (modified >= since - kClockSlackNs) doomed.push_back(name);
    }
    int64_t removed = 0;
    for (const std::string& name : doomed)
        if (::unlinkat(fd, name.c_str(), 0) == 0) ++removed;
    ::closedir(dir);  // closes fd
    return removed;
}

void handleRemovePartialsRequest(Bridge& bridge, int64_t call, const Value& args) {
    auto idIt = args.find("job");
    const auto found = idIt != args.end() && idIt->is_string() ? bridge.jobs.find(idIt->get<std::string>())
                                                               : bridge.jobs.end();
    if (found == bridge.jobs.end() || !found->second) {
        bridge.reply(call, Value{{"error", kUnknownJob}});
        return;
    }
    const std::shared_ptr<Job>& job = found->second;
    if (job->running()) {
        bridge.reply(call, Value{{"error", kStillRunning}});
        return;
    }
    const Value state = job->state();
    std::vector<std::string> made;
    std::string folder;
    for (const char* key : {"out", "copy"}) {
        auto it = state.find(key);
        if (it == state.end() || !it->is_string()) continue;
        const std::string path = *it;
        // Both live in the job's one work folder; anything else is not ours to touch.
        if (folder.empty()) folder = folderOf(path);
        if (!folder.empty() && folderOf(path) == folder) made.push_back(nameOf(path));
    }
    runInBackground([self = bridge.shared_from_this(), call, folder, made, since = job->admitted] {
        const int64_t removed = folder.empty() ? 0 : removePartials(folder, made, since);
        self->reply(call, Value{{"removed", removed}});
    });
}
