#include "job/rate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr double kSettleSeconds = 1.0;
constexpr double kLeastFraction = 0.001;

}  // namespace

Value RateEstimate::at(double fraction, double now) const {
    const double elapsed = now - start_;
    if (!std::isfinite(fraction) || !std::isfinite(elapsed) || elapsed < kSettleSeconds ||
        fraction < kLeastFraction || total_ <= 0)
        return Value::object();
    fraction = std::min(fraction, 1.0);
    const double rate = double(total_) * fraction / elapsed / 1e6;
    return Value{{"rate_mb_s", std::round(rate * 10) / 10}};
}

int64_t systemUnflushedBytes() {
    std::FILE* f = std::fopen("/proc/meminfo", "re");
    if (!f) return -1;
    int64_t total = 0;
    int found = 0;
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
        long long kb = 0;
        if ((std::sscanf(line, "Dirty: %lld kB", &kb) == 1 || std::sscanf(line, "Writeback: %lld kB", &kb) == 1) &&
            kb >= 0) {
            total += int64_t(kb) * 1024;
            ++found;
        }
    }
    std::fclose(f);
    return found == 2 ? total : -1;
}

// The same number on every architecture from Linux 6.5 on; an older kernel
// answers ENOSYS.
#ifndef SYS_cachestat
#define SYS_cachestat 451
#endif

int64_t fileUnflushedBytes(int fd) {
    struct {
        uint64_t off, len;
    } range{0, 0};  // the whole file
    struct {
        uint64_t cache, dirty, writeback, evicted, recentlyEvicted;
    } pages{};
    if (::syscall(SYS_cachestat, fd, &range, &pages, 0) == 0)
        return int64_t(pages.dirty + pages.writeback) * int64_t(::sysconf(_SC_PAGESIZE));
    return -1;
}

DiskPace::DiskPace(std::function<int64_t(int)> fileUnflushed, std::function<int64_t()> systemUnflushed)
    : file_(std::move(fileUnflushed)), system_(std::move(systemUnflushed)), baseline_(system_()) {}

double DiskPace::flushed(int64_t written, int fd) {
    int64_t pending = fd >= 0 ? file_(fd) : -1;
    if (pending < 0) {
        const int64_t now = baseline_ >= 0 ? system_() : -1;
        pending = now >= 0 ? std::max<int64_t>(0, now - baseline_) : 0;
    }
    shown_ = std::min(written, std::max(shown_, written - std::min(written, pending)));
    return written > 0 ? double(shown_) / double(written) : 1.0;
}
