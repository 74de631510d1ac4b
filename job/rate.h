// The speed of a stage that moves through a known number of bytes (the copy,
// the engine's run over the RSV), from how far it has got; the time left of a
// job whose engine follows its copy (FollowEstimate); and what the kernel says
// about a file's pages. The straight-line time left of other jobs is
// Job::update's.
//
// Plain values; any thread, no locking of their own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

#include "bridge/value.h"

class RateEstimate {
public:
    // `totalBytes` the stage moves through; `start` the stage's start on a
    // monotonic clock, in seconds.
    RateEstimate(int64_t totalBytes, double start) : total_(totalBytes), start_(start) {}

    // {"rate_mb_s": decimal megabytes a second}
    // at `fraction` (0..1) done by `now`; an empty object while there is too
    // little to go on (under a second, or nothing done yet), so a first wild
    // guess never reaches the page.
    Value at(double fraction, double now) const;

private:
    int64_t total_;
    double start_;
};

// Seconds on the monotonic clock.
double monotonicSeconds();

// Bytes the system has yet to write to its disks (Dirty and Writeback of
// /proc/meminfo); -1 when it cannot tell.
int64_t systemUnflushedBytes();
// Whether the system's writers are outrunning its disks: more bytes wait in
// memory than halfway from where the kernel begins to write them back to
// where it makes writers wait (/proc/vmstat). Below that the kernel keeps up
// and what is left flushes in moments. False when it cannot tell.
bool systemWritebackBehind();

// The page cache's own counts for the whole file open at `fd` (cachestat(2),
// Linux 6.5 on), in bytes; absent when the kernel cannot tell.
struct FilePages {
    int64_t resident = 0;    // in memory
    int64_t unflushed = 0;   // dirty or being written back
    int64_t evicted = 0;     // dropped from memory since it was read or written
    // Bytes that went through memory and are on the disk now: a file whose
    // blocks are shared with another (a clone) never counts here.
    int64_t cleaned() const { return resident + evicted - unflushed; }
};
std::optional<FilePages> filePages(int fd);
// Whether the file open at `fd` shares any of its first few extents from
// byte `from` on with another file (FIEMAP); absent when its file system
// cannot tell.
std::optional<bool> sharesBlocks(int fd, int64_t from);
// Bytes of the file open at `fd` not yet on its disk; -1 when the kernel
// cannot tell.
int64_t fileUnflushedBytes(int fd);

// How much of a copy that has been written is on the disk rather than
// waiting in memory: the file's own count where the kernel gives one, else
// what the system holds unflushed beyond what it held when the copy began
// (other writers' bytes, the engine's among them, then count against the
// copy: never optimistic).
//
// One thread at a time.
class DiskPace {
public:
    explicit DiskPace(std::function<int64_t(int fd)> fileUnflushed = fileUnflushedBytes,
                      std::function<int64_t()> systemUnflushed = systemUnflushedBytes);
    // The share (0..1) of `written` bytes of the copy open at `fd` taken to
    // be on the disk: all when nothing can tell, never less than earlier.
    double flushed(int64_t written, int fd);

private:
    std::function<int64_t(int)> file_;
    std::function<int64_t()> system_;
    int64_t baseline_, shown_ = 0;
};

// What a better source than the straight line over "pct" says about the
// time left: too little to go on yet, a figure, or nothing it can tell (the
// straight line holds).
struct TimeLeft {
    enum class Kind { NotYet, Seconds, Unsure } kind = Kind::NotYet;
    double seconds = 0;
};

// The time left of a job whose engine writes its output while the copy it
// reads is still being written. Three workers run side by side: the copy
// (bytes left at its own pace so far), the engine's chase of the copy (the
// output's bytes left at its pace over the last seconds; it never ends
// before the copy, and footage shared with the copy ends with it) and the
// kernel writing both files to the disk (what is still in memory, at the
// fastest pace the disk has shown, counted once the kernel is behind or the
// copy's seal has shown that pace). The last of them to end, then what
// follows in series (verification: `afterward`, given the copy's seconds),
// is the time left.
//
// An engine whose output holds no footage while the copy is written (one
// that waits for the whole copy) is not followed: Unsure once that is plain.
// One thread at a time (Job calls it under its state lock).
class FollowEstimate {
public:
    struct Sample {
        double now = 0;             // monotonic seconds
        int64_t copied = 0;         // bytes of the copy written
        int64_t unflushed = 0;      // bytes of the copy and the output still in memory
        int64_t cleaned = 0;        // bytes of both that reached the disk through memory
        bool behind = false;        // systemWritebackBehind()
        std::optional<int64_t> output;  // the engine's output's size, once it is there
        // The output's footage is the copy's blocks, shared: the rest is
        // shared in moments once the copy is whole.
        bool shared = false;
    };
    // `total`: the copy's length; `start`: when the copy began.
    FollowEstimate(int64_t total, double start, std::function<double(double copySeconds)> afterward);

    TimeLeft at(const Sample& s);
    // The last answer, aged, while it is fresher than kResample: sampling
    // asks the kernel about every page of both files.
    std::optional<TimeLeft> recent(double now) const;
    static constexpr double kResample = 0.5;
    // An output's head (ftyp, the aligning free box, the mdat header) is far
    // smaller: more is footage.
    static constexpr int64_t kPayloadSeen = 1LL << 20;

private:
    TimeLeft tell(const Sample& s);  // at() without keeping the answer

    // Pace over the last few seconds of samples (bytes a second); absent
    // while they span too little time.
    class Pace {
    public:
        void add(double t, int64_t v);
        std::optional<double> recent() const;
        // Since the value first moved: for a stall, which the recent pace calls 0.
        std::optional<double> sinceMoved() const;
        // Seconds the value has not changed, up to the last sample.
        double stillFor() const;

    private:
        struct Point {
            double t;
            int64_t v;
            double since;  // when v was first seen
        };
        std::deque<Point> window_;
        std::optional<std::pair<double, int64_t>> first_, moved_;
    };

    const int64_t total_;
    const double start_;
    const std::function<double(double)> afterward_;
    Pace output_, cleaned_, sealing_;  // sealing_: cleaned once the copy is written
    double fastestClean_ = 0, fastestSeal_ = 0;
    std::optional<double> copyEnd_;
    std::optional<int64_t> firstOutput_;
    bool chased_ = false;
    std::optional<std::pair<double, TimeLeft>> last_;
};
