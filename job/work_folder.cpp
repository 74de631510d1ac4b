#include "job/work_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "job/failure_text.h"
#include "job/job_error.h"

const char kWorkFolderLead[] = "RSV복구_";

namespace {

constexpr size_t kSmallFile = 1 << 20;

std::string localDate() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%y%m%d", &tm);
    return buf;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool sameNode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void syncFolder(int fd) {
    if (::fsync(fd) != 0 && errno != EINVAL) throw JobError::system(errno);
}

}  // namespace

RsvPlace rsvPlace(const std::string& rsvPath, const std::string& volRoot) {
    struct stat rsv {}, vol {}, folder {}, above {};
    if (::stat(rsvPath.c_str(), &rsv) != 0 || ::stat(volRoot.c_str(), &vol) != 0) return RsvPlace::Unknown;
    if (rsv.st_dev != vol.st_dev) return RsvPlace::Elsewhere;
    // A work copy: directly in a folder named like ours, directly in the volume's root.
    const std::string folderPath = parentOf(rsvPath);
    if (lastName(folderPath).rfind(kWorkFolderLead, 0) == 0 && ::stat(folderPath.c_str(), &folder) == 0 &&
        ::stat(parentOf(folderPath).c_str(), &above) == 0 && sameNode(above, vol))
        return RsvPlace::WorkCopy;
    return RsvPlace::Card;
}

WorkFolder::WorkFolder(const std::string& volRoot, const std::string& rsvPath) {
    tv::UniqueFd root(::open(volRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) throw JobError::system(errno);
    if (rsvPlace(rsvPath, volRoot) == RsvPlace::Card) throw JobError("card", 1, failure::kCardIsWorkVolume);
    const std::string name = kWorkFolderLead + localDate();
    if (::mkdirat(root.get(), name.c_str(), 0777) != 0 && errno != EEXIST) throw JobError::system(errno);
    dir_ = tv::UniqueFd(::openat(root.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir_.get() < 0) {
        // A link where the folder should be, or something that is no folder.
        struct stat st {};
        if (errno == ELOOP || (::fstatat(root.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)))
            throw JobError("paths", 1, failure::kLinkedFolder);
        throw JobError::system(errno);
    }
    path_ = (volRoot.size() > 1 && volRoot.back() == '/' ? volRoot.substr(0, volRoot.size() - 1) : volRoot) + "/" + name;
}

std::string WorkFolder::reach(const std::string& name) const {
    return "/proc/self/fd/" + std::to_string(dir_.get()) + "/" + name;
}

std::set<std::string> WorkFolder::names() const {
    std::set<std::string> out;
    const int copy = ::openat(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) throw JobError::system(errno);
    DIR* listing = ::fdopendir(copy);
    if (!listing) {
        const int err = errno;
        ::close(copy);
        throw JobError::system(err);
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string n = entry->d_name;
        if (n != "." && n != "..") out.insert(n);
    }
    ::closedir(listing);
    return out;
}

std::optional<struct stat> WorkFolder::look(const std::string& name) const {
    struct stat st {};
    if (::fstatat(dir_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return st;
}

long WorkFolder::nameMax() const {
    const long max = ::fpathconf(dir_.get(), _PC_NAME_MAX);
    return max > 0 ? max : 255;
}

void WorkFolder::publish(const std::string& from, const std::string& to) const {
    if (::renameat2(dir_.get(), from.c_str(), dir_.get(), to.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) throw JobError::system(errno);
        // Without the kernel's refusal: the name is reserved first,
        // exclusively, so only that empty placeholder of ours is replaced.
        tv::UniqueFd placeholder(
            ::openat(dir_.get(), to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (placeholder.get() < 0 || ::renameat(dir_.get(), from.c_str(), dir_.get(), to.c_str()) != 0)
            throw JobError::system(errno);
    }
    syncFolder(dir_.get());
}

void WorkFolder::writeWhole(const std::string& name, const std::string& text) const {
    const std::string temp = name + ".partial";
    tv::UniqueFd fd(::openat(dir_.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw JobError::system(errno);
    for (size_t off = 0; off < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw JobError::system(n < 0 ? errno : ENOSPC);
        off += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || !fd.close()) throw JobError::system(errno);
    publish(temp, name);
}

std::optional<std::string> WorkFolder::readSmall(const std::string& name) const {
    tv::UniqueFd fd(::openat(dir_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > off_t(kSmallFile))
        return std::nullopt;
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.get(), &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        got += static_cast<size_t>(n);
    }
    return text;
}
