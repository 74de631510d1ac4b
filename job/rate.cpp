#include "job/rate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

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

DiskPace::DiskPace(std::function<int64_t()> unflushed) : unflushed_(std::move(unflushed)), baseline_(unflushed_()) {}

int64_t DiskPace::onDisk(int64_t written) {
    const int64_t now = baseline_ >= 0 ? unflushed_() : -1;
    const int64_t pending = now >= 0 ? std::min(written, std::max<int64_t>(0, now - baseline_)) : 0;
    shown_ = std::min(written, std::max(shown_, written - pending));
    return shown_;
}
