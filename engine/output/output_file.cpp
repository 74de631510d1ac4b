#include "output/output_file.h"

#include "base/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tv {
namespace {

using Kind = EngineError::Kind;

constexpr int kMaxTempNames = 1000;

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string reason() { return std::strerror(errno); }

}  // namespace

void OutputFile::checkFree(const std::string& out) {
    struct stat st {};
    if (::lstat(out.c_str(), &st) == 0)
        throw EngineError(Kind::Output, "the output " + out + " exists already; it is never replaced");
    if (errno != ENOENT)
        throw EngineError(Kind::Output, "cannot use the output path " + out + ": " + reason());
}

OutputFile::OutputFile(const std::string& out) : out_(out), outName_(nameOf(out)) {
    const std::string folder = folderOf(out);
    dir_ = UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_.get() < 0) throw EngineError(Kind::Output, "cannot open the output folder " + folder + ": " + reason());
    for (int n = 1; n <= kMaxTempNames; ++n) {
        tempName_ = outName_ + ".partial" + (n > 1 ? "-" + std::to_string(n) : "");
        fd_ = UniqueFd(::openat(dir_.get(), tempName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                0644));
        if (fd_.get() >= 0) {
            tempPath_ = (folder == "/" ? "" : folder) + "/" + tempName_;
            return;
        }
        if (errno != EEXIST)
            throw EngineError::writing(errno, "cannot create " + folder + "/" + tempName_ + ": " + reason());
    }
    throw EngineError(Kind::Output, "too many unfinished outputs beside " + out);
}

void OutputFile::sync(const OutputIo& io) {
    if (io.fsync(fd_.get()) != 0 || !fd_.close())
        throw EngineError::writing(errno, "finishing " + tempPath_ + " failed: " + reason());
}

void OutputFile::publish() {
    // The kernel refuses the rename when the name is taken; a file system
    // without that refusal gets the name reserved first, exclusively, so only
    // that empty placeholder of ours can be replaced.
    if (::renameat2(dir_.get(), tempName_.c_str(), dir_.get(), outName_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            throw EngineError(Kind::Output, "cannot name the output " + out_ + " (kept as " + tempPath_ + "): " +
                                                reason());
        UniqueFd placeholder(
            ::openat(dir_.get(), outName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (placeholder.get() < 0 ||
            ::renameat(dir_.get(), tempName_.c_str(), dir_.get(), outName_.c_str()) != 0)
            throw EngineError(Kind::Output, "cannot name the output " + out_ + " (kept as " + tempPath_ + "): " +
                                                reason());
    }
    if (::fsync(dir_.get()) != 0 && errno != EINVAL)
        throw EngineError::writing(errno, "flushing the output folder failed: " + reason());
}

}  // namespace tv
