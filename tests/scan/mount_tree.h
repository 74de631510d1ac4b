// A throw-away mount directory for scan tests: folders, sparse files with
// chosen sizes and modification times, and links, under a fresh temporary
// folder that is removed (without following links) when the tree goes.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

class MountTree {
public:
    MountTree() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tv-scan-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
    }
    ~MountTree() {
        nftw(
            dir_.c_str(),
            [](const char* p, const struct stat*, int, FTW*) noexcept {
                chmod(p, 0700);  // undo unreadable folders made by a test
                std::remove(p);
                return 0;
            },
            16, FTW_DEPTH | FTW_PHYS);
    }
    MountTree(const MountTree&) = delete;
    MountTree& operator=(const MountTree&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }

    // Creates rel's parent folders as needed. Returns the full path.
    std::string folder(const std::string& rel) const {
        std::string full = dir_;
        size_t start = 0;
        while (start <= rel.size()) {
            size_t slash = rel.find('/', start);
            if (slash == std::string::npos) slash = rel.size();
            full += "/" + rel.substr(start, slash - start);
            mkdir(full.c_str(), 0755);
            start = slash + 1;
        }
        return full;
    }

    // A sparse file of `size` bytes, modified at `seconds`.`nanos` (epoch) unless seconds < 0.
    std::string file(const std::string& rel, int64_t size = 0, int64_t seconds = -1, long nanos = 0) const {
        makeParents(rel);
        const std::string full = path(rel);
        const int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) throw std::runtime_error("cannot create " + full);
        const int rc = ftruncate(fd, size);
        close(fd);
        if (rc != 0) throw std::runtime_error("cannot size " + full);
        if (seconds >= 0) touch(rel, seconds, nanos);
        return full;
    }

    void touch(const std::string& rel, int64_t seconds, long nanos = 0) const {
        const timespec times[2] = {{static_cast<time_t>(seconds), nanos}, {static_cast<time_t>(seconds), nanos}};
        if (utimensat(AT_FDCWD, path(rel).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            throw std::runtime_error("cannot touch " + rel);
    }

    std::string link(const std::string& rel, const std::string& target) const {
        makeParents(rel);
        if (symlink(target.c_str(), path(rel).c_str()) != 0) throw std::runtime_error("cannot link " + rel);
        return path(rel);
    }

private:
    void makeParents(const std::string& rel) const {
        const size_t slash = rel.rfind('/');
        if (slash != std::string::npos) folder(rel.substr(0, slash));
    }
    std::string dir_;
};
