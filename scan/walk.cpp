#include "scan/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "scan/dir_handle.h"
#include "scan/names.h"

namespace {

// One open folder of the walk. At most kMaxWalkLevel are open at once.
struct Frame {
    DirHandle dir;
    size_t pathLength;  // length of this folder's path in the shared buffer
    int level;          // level of this folder's entries
};

DirHandle openDirAt(int parentFd, const char* name, int flags) {
    const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (fd < 0) return nullptr;
    DIR* d = fdopendir(fd);
    if (!d) {
        close(fd);
        return nullptr;
    }
    return DirHandle(d);
}

bool isDirectoryNoFollow(int parentFd, const char* name) {
    struct stat st {};
    return fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::vector<std::string> findRsvFiles(const std::string& root) {
    std::vector<std::string> found;
    // The volume root is followed: a mount point is a folder, and an entry of the
    // mount directory that links to one is meant to be walked.
    DirHandle rootDir = openDirAt(AT_FDCWD, root.c_str(), 0);
    if (!rootDir) return found;

    std::string path = root;
    std::vector<Frame> stack;
    stack.reserve(kMaxWalkLevel);
    stack.push_back(Frame{std::move(rootDir), path.size(), 1});

    while (!stack.empty()) {
        DIR* dir = stack.back().dir.get();
        const size_t parentLength = stack.back().pathLength;
        const int level = stack.back().level;

        const dirent* entry = readdir(dir);
        if (!entry) {  // end of the folder, or a read error: either way it is done
            stack.pop_back();
            continue;
        }
        const char* name = entry->d_name;
        if (name[0] == '.') continue;  // hidden, and "." and ".."

        const std::string_view nameView(name, std::strlen(name));
        // An unfinished copy ("C0002.RSV.partial") is listed too, so the page
        // can say it is one.
        const bool rsv = hasRsvExtension(nameView) || isUnfinishedRsv(nameView);
        // The type comes with the entry on most file systems, so only RSV items
        // and folders ever cost more than the listing itself.
        const unsigned char type = entry->d_type;
        bool descend = level < kMaxWalkLevel && (type == DT_DIR || type == DT_UNKNOWN);
        if (!rsv && !descend) continue;

        path.resize(parentLength);
        path.push_back('/');
        path.append(nameView);
        if (rsv) found.push_back(path);

        if (descend && type == DT_UNKNOWN) descend = isDirectoryNoFollow(dirfd(dir), name);
        if (!descend) continue;
        // O_NOFOLLOW: a link to a folder is never entered, so no link can loop.
        DirHandle child = openDirAt(dirfd(dir), name, O_NOFOLLOW);
        if (!child) continue;  // unreadable folders are passed over
        stack.push_back(Frame{std::move(child), path.size(), level + 1});
    }
    return found;
}
