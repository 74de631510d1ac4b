// One scratch folder per test: a fresh folder under $TMPDIR (or /tmp) that is
// removed with everything in it when the object goes. Removal never follows a
// link and first opens up folders a test made unreadable. Not thread-safe;
// throws std::runtime_error when the file system refuses a step.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Scratch {
public:
    Scratch() : Scratch(std::getenv("TMPDIR") && *std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") {}
    // Under `base`: another file system than the default one, for a card.
    explicit Scratch(const std::string& base) {
        std::string pattern = base + "/tv-test-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~Scratch() {
        ::nftw(
            path_.c_str(),
            [](const char* p, const struct stat*, int, FTW*) noexcept {
                ::chmod(p, 0700);
                std::remove(p);
                return 0;
            },
            16, FTW_DEPTH | FTW_PHYS);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

    // Creates rel and the folders above it; returns its full path.
    std::string folder(const std::string& rel) const {
        for (size_t slash = 0; slash != std::string::npos;) {
            slash = rel.find('/', slash + 1);
            ::mkdir((*this / rel.substr(0, slash)).c_str(), 0700);
        }
        return *this / rel;
    }
    // A file holding `contents` (replacing what was there); returns its full path.
    std::string write(const std::string& rel, const std::string& contents) const {
        parents(rel);
        std::ofstream(*this / rel, std::ios::binary) << contents;
        return *this / rel;
    }
    // A sparse file of `size` bytes, modified at `seconds`.`nanos` (epoch) unless seconds < 0.
    std::string sparse(const std::string& rel, int64_t size = 0, int64_t seconds = -1, long nanos = 0) const {
        const std::string full = write(rel, "");
        if (::truncate(full.c_str(), size) != 0) throw std::runtime_error("cannot size " + full);
        if (seconds >= 0) touch(rel, seconds, nanos);
        return full;
    }
    void touch(const std::string& rel, int64_t seconds, long nanos = 0) const {
        const timespec times[2] = {{static_cast<time_t>(seconds), nanos}, {static_cast<time_t>(seconds), nanos}};
        if (::utimensat(AT_FDCWD, (*this / rel).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            throw std::runtime_error("cannot touch " + rel);
    }
    std::string link(const std::string& rel, const std::string& target) const {
        parents(rel);
        if (::symlink(target.c_str(), (*this / rel).c_str()) != 0) throw std::runtime_error("cannot link " + rel);
        return *this / rel;
    }

private:
    void parents(const std::string& rel) const {
        const size_t slash = rel.rfind('/');
        if (slash != std::string::npos) folder(rel.substr(0, slash));
    }
    std::string path_;
};
