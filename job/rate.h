// The speed of a stage that moves through a known number of bytes (the copy,
// the engine's run over the RSV), from how far it has got. The time left is
// the whole job's (Job::update).
//
// A plain value; any thread, no locking of its own.
#pragma once

#include <cstdint>

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
