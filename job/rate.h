// The speed of a stage that moves through a known number of bytes (the copy,
// the engine's run over the RSV), from how far it has got. The time left is
// the whole job's (Job::update).
//
// A plain value; any thread, no locking of its own.
#pragma once

#include <cstdint>
#include <functional>

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

// Bytes the system has yet to write to its disks (Dirty and Writeback of
// /proc/meminfo); -1 when it cannot tell.
int64_t systemUnflushedBytes();
// Bytes of the file open at `fd` not yet on its disk (dirty or being
// written back), from the page cache's own counts (cachestat(2), Linux 6.5
// on); -1 when the kernel cannot tell.
int64_t fileUnflushedBytes(int fd);

// How much of a copy is on the disk rather than waiting in memory: a copy
// that fits in memory is written as fast as the card reads and then takes
// as long again to reach the disk, so a bar that counted written bytes would
// run ahead of the time, and one that counted flushed bytes would stand
// still while the card is read. Counts what has been written less what of it
// is still unflushed:
// the file's own count where the kernel gives one, else what the system holds
// unflushed beyond what it held when the copy began (other writers' bytes,
// the engine's among them, then count against the copy: never optimistic).
//
// One thread at a time.
class DiskPace {
public:
    explicit DiskPace(std::function<int64_t(int fd)> fileUnflushed = fileUnflushedBytes,
                      std::function<int64_t()> systemUnflushed = systemUnflushedBytes);
    // Of `written` bytes of the copy open at `fd`, those taken to be on the
    // disk: `written` itself when nothing can tell, and never less than an
    // earlier answer.
    int64_t onDisk(int64_t written, int fd);
    // The share of a copy of `total` bytes done: half for the bytes written,
    // half for those on the disk.
    double share(int64_t written, int64_t total, int fd) {
        return total > 0 ? double(written + onDisk(written, fd)) / double(2 * total) : 0.0;
    }

private:
    std::function<int64_t(int)> file_;
    std::function<int64_t()> system_;
    int64_t baseline_, shown_ = 0;
};
