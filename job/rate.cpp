#include "job/rate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr double kSettleSeconds = 1.0;
constexpr double kLeastFraction = 0.001;

// A followed job's first seconds say too little, as the straight line's do.
constexpr double kFollowSettleSeconds = 2.0;
// An engine that follows the copy has begun its output well before this:
// the first stretch and one step of its chase are written within it.
constexpr double kChaseWaitSeconds = 5.0;
// Paces are taken over this many seconds of samples, and not over less than
// kLeastSpan: the chase moves in steps of 64 MiB, and the kernel writes back
// in bursts.
constexpr double kPaceWindow = 4.0;
constexpr double kLeastSpan = 1.0;
// The engine chases the copy in steps of 64 MiB: less than two behind, it
// keeps up, and its pace over a window is the copy's, give or take a step.
constexpr int64_t kKeepingUp = 128LL << 20;
// A chase whose output has not grown for this long is slow on its own: its
// own pace, not the disk's, tells when it ends (a copy's flush held one on
// ext4 for 1.5 s).
constexpr double kStandingChase = 3.0;

}  // namespace

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

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

bool systemWritebackBehind() {
    std::FILE* f = std::fopen("/proc/vmstat", "re");
    if (!f) return false;
    long long dirty = -1, writeback = -1, hard = -1, background = -1, v = 0;
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "nr_dirty %lld", &v) == 1) dirty = v;
        else if (std::sscanf(line, "nr_writeback %lld", &v) == 1) writeback = v;
        else if (std::sscanf(line, "nr_dirty_threshold %lld", &v) == 1) hard = v;
        else if (std::sscanf(line, "nr_dirty_background_threshold %lld", &v) == 1) background = v;
    }
    std::fclose(f);
    if (dirty < 0 || writeback < 0 || hard <= 0 || background < 0) return false;
    return 2 * (dirty + writeback) > hard + background;
}

// The same number on every architecture from Linux 6.5 on; an older kernel
// answers ENOSYS.
#ifndef SYS_cachestat
#define SYS_cachestat 451
#endif

std::optional<FilePages> filePages(int fd) {
    struct {
        uint64_t off, len;
    } range{0, 0};  // the whole file
    struct {
        uint64_t cache, dirty, writeback, evicted, recentlyEvicted;
    } pages{};
    if (::syscall(SYS_cachestat, fd, &range, &pages, 0) != 0) return std::nullopt;
    const int64_t page = ::sysconf(_SC_PAGESIZE);
    return FilePages{int64_t(pages.cache) * page, int64_t(pages.dirty + pages.writeback) * page,
                     int64_t(pages.evicted) * page};
}

std::optional<bool> sharesBlocks(int fd, int64_t from) {
    constexpr unsigned kExtents = 8;
    alignas(struct fiemap) unsigned char buffer[sizeof(struct fiemap) + kExtents * sizeof(struct fiemap_extent)] = {};
    auto* map = reinterpret_cast<struct fiemap*>(buffer);
    map->fm_start = uint64_t(from);
    map->fm_length = FIEMAP_MAX_OFFSET - uint64_t(from);
    map->fm_extent_count = kExtents;
    if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0) return std::nullopt;
    for (unsigned i = 0; i < map->fm_mapped_extents && i < kExtents; ++i)
        if (map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) return true;
    return false;
}

int64_t fileUnflushedBytes(int fd) {
    const std::optional<FilePages> pages = filePages(fd);
    return pages ? pages->unflushed : -1;
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

void FollowEstimate::Pace::add(double t, int64_t v) {
    if (!first_) first_.emplace(t, v);
    if (!moved_ && v != first_->second) moved_.emplace(window_.back().t, window_.back().v);
    const double since = !window_.empty() && window_.back().v == v ? window_.back().since : t;
    window_.push_back({t, v, since});
    // The oldest sample kept is the newest one at least a window old.
    while (window_.size() > 2 && t - window_[1].t >= kPaceWindow) window_.pop_front();
}

// Between the moments the first and the last value kept were first seen: a
// value that moves in steps is not taken for slower just before its next
// step, and one that stands still keeps the pace it had until the window
// has passed it.
std::optional<double> FollowEstimate::Pace::recent() const {
    if (window_.size() < 2) return std::nullopt;
    const Point &from = window_.front(), &to = window_.back();
    if (!(to.t - from.t >= kLeastSpan) || to.v == from.v || !(to.since > from.since)) return std::nullopt;
    return double(to.v - from.v) / (to.since - from.since);
}

double FollowEstimate::Pace::stillFor() const {
    return window_.empty() ? 0 : window_.back().t - window_.back().since;
}

std::optional<double> FollowEstimate::Pace::sinceMoved() const {
    if (!moved_ || window_.empty()) return std::nullopt;
    const double span = window_.back().t - moved_->first;
    if (!(span > 0)) return std::nullopt;
    return double(window_.back().v - moved_->second) / span;
}

FollowEstimate::FollowEstimate(int64_t total, double start, std::function<double(double)> afterward)
    : total_(total), start_(start), afterward_(std::move(afterward)) {}

std::optional<TimeLeft> FollowEstimate::recent(double now) const {
    if (!last_ || !(now - last_->first < kResample) || now < last_->first) return std::nullopt;
    TimeLeft aged = last_->second;
    if (aged.kind == TimeLeft::Kind::Seconds) aged.seconds = std::max(0.0, aged.seconds - (now - last_->first));
    return aged;
}

TimeLeft FollowEstimate::at(const Sample& s) {
    const TimeLeft told = tell(s);
    last_.emplace(s.now, told);
    return told;
}

TimeLeft FollowEstimate::tell(const Sample& s) {
    using Kind = TimeLeft::Kind;
    const double elapsed = s.now - start_;
    if (total_ <= 0 || !std::isfinite(elapsed)) return {Kind::Unsure};
    // Growth, or footage beyond the output's head, counts as a chase only
    // while the copy is still short.
    if (s.output && !copyEnd_ && ((firstOutput_ && *s.output > *firstOutput_) || *s.output >= kPayloadSeen))
        chased_ = true;
    if (s.output && !firstOutput_) firstOutput_ = s.output;
    if (s.copied >= total_ && !copyEnd_) copyEnd_ = s.now;
    if (s.output) output_.add(s.now, *s.output);
    cleaned_.add(s.now, s.cleaned);
    if (copyEnd_) sealing_.add(s.now, s.cleaned);
    if (const std::optional<double> seal = sealing_.recent()) fastestSeal_ = std::max(fastestSeal_, *seal);
    if (const std::optional<double> clean = cleaned_.recent()) fastestClean_ = std::max(fastestClean_, *clean);
    if (!chased_) return {copyEnd_ || elapsed >= kChaseWaitSeconds ? Kind::Unsure : Kind::NotYet};
    if (elapsed < kFollowSettleSeconds || s.copied <= 0) return {Kind::NotYet};

    const double copyPace = double(std::min(s.copied, total_)) / elapsed;
    const double copyLeft = copyEnd_ ? 0 : double(total_ - s.copied) / copyPace;
    // The faster of the recent pace and the pace since the chase began: a
    // chase held up for a moment (the copy's flush takes the disk) is not
    // taken to crawl from then on, while one slow all along is.
    const std::optional<double> recent = output_.recent(), overall = output_.sinceMoved();
    std::optional<double> chasePace = recent && overall ? std::max(*recent, *overall) : recent ? recent : overall;
    if (!chasePace || *chasePace <= 0) chasePace = copyPace;
    // A chase that shares or keeps up ends with the copy (a step behind);
    // one that lags ends when its own pace takes it there, or sooner: it
    // lags because the copy holds the disk, and once the copy is written
    // it writes at least as fast as the copy did (on ext4, beside a copy
    // at 1.8 GB/s: 0.35 GB/s, then 2 GB/s). Not a chase that has stood
    // still for a while: that one is slow on its own.
    const int64_t output = s.output.value_or(0), behind = std::max<int64_t>(0, std::min(s.copied, total_) - output);
    const double left = double(std::max<int64_t>(0, total_ - output));
    double chaseLeft = s.shared               ? copyLeft
                       : behind <= kKeepingUp ? copyLeft + double(behind) / *chasePace
                                              : left / *chasePace;
    if (!s.shared && behind > kKeepingUp && output_.stillFor() < kStandingChase) {
        // The pace the copy had, not its bytes over a time that goes on after it.
        const double copyHad = copyEnd_ && *copyEnd_ > start_ ? double(total_) / (*copyEnd_ - start_) : copyPace;
        const double byCopyEnd = std::min(left, *chasePace * copyLeft);
        chaseLeft = std::min(chaseLeft, copyLeft + (left - byCopyEnd) / copyHad);
    }
    // A kernel that is behind writes at its fastest all along: what is
    // still in memory goes at the fastest pace it has shown. Once the
    // copy is written its flush asks for the disk's full pace, which the
    // pages then show; before that the kernel keeps up, and a disk that
    // takes them at leisure says nothing of its pace.
    const double flushPace = fastestClean_ > 0 ? fastestClean_ : copyPace;
    const double unflushed = double(std::max<int64_t>(0, s.unflushed));
    const double afterward = afterward_(copyEnd_ ? *copyEnd_ - start_ : elapsed + copyLeft);
    // Too much in memory to flush in moments, and the disk's pace not seen yet.
    if (!s.behind && copyEnd_ && fastestSeal_ <= 0 && unflushed / copyPace > afterward) return {Kind::NotYet};
    const double flushLeft = s.behind ? unflushed / flushPace : fastestSeal_ > 0 ? unflushed / fastestSeal_ : 0;
    // The flushes run beside verification, which begins once the output is written.
    const double seconds = std::max(copyLeft, chaseLeft) + std::max(flushLeft, afterward);
    if (!std::isfinite(seconds) || seconds < 0) return {Kind::NotYet};
    return {Kind::Seconds, seconds};
}
