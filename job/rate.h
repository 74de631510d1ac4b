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
